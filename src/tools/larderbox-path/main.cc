// larderbox-path: where a larderbox cache holds each URL. The shim's own cache-address code forms
// every line, so a cache filled with these paths and the shim can never disagree.
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "diag/channel.h"
#include "runtime/allocator.h"
#include "runtime/bytes.h"
#include "runtime/environment.h"
#include "runtime/run_context.h"
#include "shim/cache_address.h"
#include "shim/tool_name.h"
#include "tools/larderbox-path/batch_input.h"
#include "tools/larderbox-path/check.h"
#include "tools/larderbox-path/inverse.h"
#include "tools/larderbox-path/standard_output.h"
#include "tools/larderbox-path/stored_name.h"

namespace larderbox {
namespace {

constexpr int kFailureStatus = 1;
constexpr int kUsageStatus = 2;

constexpr Bytes kUsage =
    "usage: larderbox-path [--server SERVER | --file] [--] URL...\n"
    "       larderbox-path [--server SERVER | --file] --stdin [-z]\n"
    "       larderbox-path --url [--stdin [-z] | [--] ADDRESS...]\n"
    "       larderbox-path --check [--tool curl|wget] [--] URL...\n";

// The project's one version, which the build passes in.
constexpr Bytes kVersionLine = "larderbox-path " LARDERBOX_VERSION "\n";

constexpr Bytes kHelp =
    "Prints, one line per URL, where a larderbox cache holds that URL's download:\n"
    "\n"
    "  (no option)      the path below the cache server's root: b/<base64url of URL>/<file name>\n"
    "  --server SERVER  the whole cache address on SERVER, exactly as the shim forms it\n"
    "  --file           the file below a cache directory that a static HTTP server serves\n"
    "                   (percent-escapes in the file name decoded, as such a server does)\n"
    "  --check          what the shim would do for a plain download of each URL, with the\n"
    "                   environment's cache server and real tool: \"hit ADDRESS\",\n"
    "                   \"miss ADDRESS (why)\" or \"direct (why)\"\n"
    "  --tool TOOL      with --check: judge `curl -fsSL -o FILE URL` (curl, the default) or\n"
    "                   `wget -O FILE URL` (wget)\n"
    "  --url            the other way: for each cache address (or its path, or a bare\n"
    "                   segment), two lines: the URL it holds and the file below a cache\n"
    "                   directory that holds it; empty when the address is no URL's own\n"
    "  --stdin          the URLs are the lines of standard input, and every URL gets one\n"
    "                   answer, empty when it has none\n"
    "  -z, --null       with --stdin: URLs and answers end with NUL instead of line feed\n"
    "  -h, --help       this text, then exit\n"
    "  --version        the version, then exit\n"
    "\n"
    "Arguments after \"--\" are URLs even when they begin with \"-\".\n"
    "\n"
    "Exit status: 0 when every line was printed (with --check: when every URL hits); 1 when\n"
    "some URL has no line that can be printed (nothing is printed then; with --stdin, its\n"
    "answer is empty), does not hit, or standard input or output failed; 2 for bad usage.\n";

enum class Form : std::uint8_t { server_path, cache_address, stored_file, check, origin };

struct Options {
  Form form = Form::server_path;
  Bytes server;
  Tool tool = Tool::curl;
  std::span<char*> urls;
  bool help = false;
  bool version = false;
  bool batch = false;  // URLs from standard input
  char separator = '\n';
};

int usageError(Bytes problem, Bytes detail = {}) {
  writeMessage({"larderbox-path: ", problem, detail, "\n", kUsage,
                "Try 'larderbox-path --help' for more information.\n"});
  return kUsageStatus;
}

// Which options were seen, for the checks that need all of them.
struct OptionsSeen {
  bool server = false;
  bool file = false;
  bool check = false;
  bool tool = false;
  bool null = false;
  bool origin = false;
};

// The value of the option at `i`, which then moves past it; none when it is the last argument.
std::optional<Bytes> separateValue(std::span<char*> arguments, std::size_t& i) {
  if (i + 1 == arguments.size()) return std::nullopt;
  return Bytes(arguments[++i]);
}

// One option element (and its value). Returns 0, or the status of a usage error it reported.
int readOption(std::span<char*> arguments, std::size_t& i, Options& options, OptionsSeen& seen) {
  Bytes argument = arguments[i];
  if (argument == "--server" || argument.starts_with("--server=")) {
    if (seen.server) return usageError("--server given more than once");
    seen.server = true;
    std::optional<Bytes> value =
        argument == "--server" ? separateValue(arguments, i) : bytesFrom(argument, 9);
    if (!value) return usageError("--server needs a value");
    options.server = *value;
  } else if (argument == "--file") {
    seen.file = true;
  } else if (argument == "--check") {
    seen.check = true;
  } else if (argument == "--url") {
    seen.origin = true;
  } else if (argument == "--stdin") {
    options.batch = true;
  } else if (argument == "-z" || argument == "--null") {
    seen.null = true;
  } else if (argument == "--tool") {
    std::optional<Bytes> tool = separateValue(arguments, i);
    if (!tool) return usageError("--tool needs a value");
    if (*tool != toolName(Tool::curl) && *tool != toolName(Tool::wget))
      return usageError("--tool takes curl or wget, not ", *tool);
    options.tool = *tool == toolName(Tool::wget) ? Tool::wget : Tool::curl;
    seen.tool = true;
  } else {
    return usageError("unknown option ", argument);
  }
  return 0;
}

int chooseForm(const OptionsSeen& seen, Options& options) {
  int forms =
      (seen.server ? 1 : 0) + (seen.file ? 1 : 0) + (seen.check ? 1 : 0) + (seen.origin ? 1 : 0);
  if (forms > 1) return usageError("--server, --file, --check and --url cannot be combined");
  if (seen.tool && !seen.check) return usageError("--tool goes with --check");
  if (seen.null && !options.batch) return usageError("-z goes with --stdin");
  if (options.batch && seen.check) return usageError("--stdin and --check cannot be combined");
  options.separator = seen.null ? '\0' : '\n';
  options.form = seen.server   ? Form::cache_address
                 : seen.file   ? Form::stored_file
                 : seen.check  ? Form::check
                 : seen.origin ? Form::origin
                               : Form::server_path;
  return 0;
}

// Options may stand anywhere before "--". The URLs are gathered at the front of `arguments`.
// Returns 0, or the exit status of a usage error that has been reported.
int parseOptions(std::span<char*> arguments, Options& options) {
  std::size_t url_count = 0;
  OptionsSeen seen;
  bool options_ended = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    Bytes argument = arguments[i];
    if (options_ended || argument.size() < 2 || argument[0] != '-') {
      arguments[url_count++] = arguments[i];
    } else if (argument == "--") {
      options_ended = true;
    } else if (argument == "--help" || argument == "-h") {
      options.help = true;
      return 0;
    } else if (argument == "--version") {
      options.version = true;
      return 0;
    } else if (int status = readOption(arguments, i, options, seen); status != 0) {
      return status;
    }
  }
  if (int status = chooseForm(seen, options); status != 0) return status;
  if (options.batch) {
    if (url_count != 0) return usageError("--stdin takes no URL arguments");
    return 0;
  }
  if (url_count == 0) return usageError(seen.origin ? "no address given" : "no URL given");
  options.urls = arguments.first(url_count);
  return 0;
}

// One output line, or the reason why it cannot be printed.
struct Line {
  Bytes text;
  Bytes problem;  // empty when the line can be printed
};

Result<Line> formLine(ProcessAllocator& allocator, const Options& options, Bytes url) {
  Bytes server = options.form == Form::cache_address ? options.server : Bytes();
  Bytes address = TRY(buildCacheAddress(allocator, server, url));
  if (options.form == Form::cache_address) {
    // Through the server value only: the encoded URL holds none, and a file name ends before any.
    if (containsBytes(address, "\n"))
      return Line{{}, "the cache address holds a line feed, so it is not printed"};
    return Line{address, {}};
  }
  // With the empty server the address is "/b/..."; the path below the root is all but its "/".
  Bytes path = bytesFrom(address, 1);
  Bytes name = cacheFileName(url);
  if (options.form == Form::server_path) {
    if (containsBytes(name, "\n"))
      return Line{{}, "the path holds a line feed, so it is not printed"};
    return Line{path, {}};
  }
  Bytes directory = bytesUpTo(path, path.size() - name.size());
  char* stored = allocator.allocateArray<char>(path.size());
  if (stored == nullptr) return fail(Error::OutOfMemory);
  std::memcpy(stored, directory.data(), directory.size());
  std::optional<std::size_t> length = decodeStoredName(name, stored + directory.size());
  if (!length)
    return Line{{},
                "its file name cannot be one file (\".\" or \"..\", or a \"/\", NUL or line "
                "feed once percent-escapes are decoded)"};
  return Line{Bytes(stored, directory.size() + *length), {}};
}

// --url: the URL an address holds and its stored path, each followed by the separator; both
// empty when the address is no URL's own or they cannot be printed. False when empty.
Result<bool> writeOrigin(ProcessAllocator& allocator, Bytes address, Bytes separator,
                         StandardOutput& output) {
  std::optional<AddressOrigin> origin = TRY(originOfAddress(allocator, address));
  bool printable =
      origin && !containsBytes(origin->url, separator) && !containsBytes(origin->stored, separator);
  output.append(printable ? origin->url : Bytes());
  output.append(separator);
  output.append(printable ? origin->stored : Bytes());
  output.append(separator);
  return printable;
}

// --url over `addresses`; 0 when every one had its answer.
int runOrigins(ProcessAllocator& allocator, std::span<const Bytes> addresses, char separator,
               StandardOutput& output) {
  bool every = true;
  for (Bytes address : addresses) {
    Result<bool> written = writeOrigin(allocator, address, Bytes(&separator, 1), output);
    if (!written) {
      writeErrorLine(written.error());
      return kFailureStatus;
    }
    every = every && *written;
  }
  if (!output.flush()) {
    writeMessage({"larderbox-path: cannot write to standard output\n"});
    return kFailureStatus;
  }
  return every ? 0 : kFailureStatus;
}

// --stdin: one answer per URL of standard input, in order, empty where a URL has none. Answers
// go out as they are formed: a caller matches them to its URLs by their order alone.
int runBatch(ProcessAllocator& allocator, const Options& options, StandardOutput& output) {
  std::optional<Bytes> input = readStandardInput(allocator);
  std::optional<std::span<Bytes>> urls;
  if (input) urls = splitRecords(allocator, *input, options.separator);
  if (!urls) {
    writeMessage({"larderbox-path: cannot read standard input\n"});
    return kFailureStatus;
  }
  if (options.form == Form::origin) return runOrigins(allocator, *urls, options.separator, output);
  bool every = true;
  Bytes separator(&options.separator, 1);
  for (Bytes url : *urls) {
    Result<Line> line = formLine(allocator, options, url);
    if (!line) {
      writeErrorLine(line.error());
      return kFailureStatus;
    }
    every = every && line->problem.empty();
    output.append(line->text);
    output.append(separator);
  }
  if (!output.flush()) {
    writeMessage({"larderbox-path: cannot write to standard output\n"});
    return kFailureStatus;
  }
  return every ? 0 : kFailureStatus;
}

int run(ProcessAllocator& allocator, EnvironmentBlock environment, std::span<char*> arguments) {
  Options options;
  if (int status = parseOptions(arguments, options); status != 0) return status;
  StandardOutput output;
  if (options.help) {
    output.append(kUsage);
    output.append("\n");
    output.append(kHelp);
    return output.flush() ? 0 : kFailureStatus;
  }
  if (options.version) {
    output.append(kVersionLine);
    return output.flush() ? 0 : kFailureStatus;
  }
  if (options.form == Form::check) {
    RunContext context(allocator);
    return checkUrls(context, environment, options.tool, options.urls, output);
  }
  if (options.batch) return runBatch(allocator, options, output);
  if (options.form == Form::origin) {
    auto* addresses = allocator.allocateArray<Bytes>(options.urls.size());
    if (addresses == nullptr) {
      writeErrorLine(Error::OutOfMemory);
      return kFailureStatus;
    }
    for (std::size_t i = 0; i < options.urls.size(); ++i)
      addresses[i] = options.urls[i];
    return runOrigins(allocator, {addresses, options.urls.size()}, '\n', output);
  }

  // Every line is formed before the first is printed: a caller that reads line n as the answer
  // for URL n must never get a shorter list.
  auto* lines = allocator.allocateArray<Bytes>(options.urls.size());
  if (lines == nullptr) {
    writeErrorLine(Error::OutOfMemory);
    return kFailureStatus;
  }
  bool printable = true;
  for (std::size_t i = 0; i < options.urls.size(); ++i) {
    Bytes url = options.urls[i];
    Result<Line> line = formLine(allocator, options, url);
    if (!line) {
      writeErrorLine(line.error());
      return kFailureStatus;
    }
    if (!line->problem.empty()) {
      writeMessage({"larderbox-path: ", url, ": ", line->problem, "\n"});
      printable = false;
    }
    lines[i] = line->text;
  }
  if (!printable) return kFailureStatus;

  for (std::size_t i = 0; i < options.urls.size(); ++i) {
    output.append(lines[i]);
    output.append("\n");
  }
  if (output.flush()) return 0;
  writeMessage({"larderbox-path: cannot write to standard output\n"});
  return kFailureStatus;
}

}  // namespace
}  // namespace larderbox

int main(int argc, char** argv, char** envp) {
  using namespace larderbox;
  EnvironmentBlock environment = environmentBlock(envp);
  // NO_COLOR and CLICOLOR_FORCE reach the error line as they do in the shim.
  stderrChannel().setEnvironment(environment.entries, environment.count);
  ProcessAllocator allocator;
  std::size_t count = argc > 1 ? static_cast<std::size_t>(argc) - 1 : 0;
  return run(allocator, environment, std::span<char*>(argv + (argc > 0 ? 1 : 0), count));
}
