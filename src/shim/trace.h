// The opt-in trace: with LARDERBOX_TRACE set, one line per run that reached a decision about the
// cache, so that whoever runs the cache can see its hits, misses and what never asked it.
#pragma once

#include <array>
#include <initializer_list>
#include <optional>
#include <span>

#include "runtime/allocator.h"
#include "runtime/bytes.h"
#include "runtime/environment.h"
#include "shim/probe.h"

namespace larderbox {

struct TraceSink {
  bool enabled = false;
  const char* file = nullptr;  // appended to; standard error when null
};

// LARDERBOX_TRACE absent: no trace. A value that begins with "/" names the file, anything else
// means standard error.
TraceSink traceSinkFrom(EnvironmentBlock environment);

// "larderbox: DECISION URL DETAIL... TARGET\n" in one write, so that the lines of parallel runs
// never interleave. The URL is "-" when there is none; the userinfo of the URL and of the target is
// written as "***@", and control bytes as %XX so that no URL can end a line or forge one. A line
// that cannot be formed or written is dropped.
void writeTrace(ProcessAllocator& allocator, const TraceSink& sink, Bytes decision,
                std::optional<Bytes> url, std::initializer_list<Bytes> detail,
                std::optional<Bytes> target = std::nullopt);

// Why the probe said no, in brackets and in three pieces: " (probe exited ", "22", ")". The
// number, if any, is written into `digits`.
using MissReason = std::array<Bytes, 3>;
MissReason describeMiss(ProbeVerdict verdict, std::span<char, 10> digits);

// "miss URL" and the reason of describeMiss.
void traceMiss(ProcessAllocator& allocator, const TraceSink& sink, Bytes url, ProbeVerdict verdict);

}  // namespace larderbox
