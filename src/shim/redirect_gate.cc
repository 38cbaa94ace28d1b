#include "shim/redirect_gate.h"

#include <array>

#include "shim/cache_address.h"
#include "shim/command_line.h"
#include "shim/tool_name.h"
#include "shim/tool_options.h"
#include "shim/url_parts.h"

namespace larderbox {
namespace {

constexpr Bytes kCredentials = "credentials";
constexpr Bytes kTransport = "transport";
constexpr Bytes kReportsSource = "reports the source";
constexpr Bytes kFileName = "file name";
constexpr Bytes kConfig = "config";

// The value of an option that is not the URL would be replaced by the cache address.
constexpr Bytes kNotTheUrl = "not the URL";

// curl's report variables that tell where the bytes came from or how they got there.
constexpr Bytes kSourceVariables[] = {"url",       "url_effective", "redirect_url", "num_redirects",
                                      "remote_ip", "remote_port",   "local_ip",     "local_port",
                                      "scheme",    "json",          "header_json"};

// wgetrc commands that change nothing about what is fetched, how it is named, or from where.
constexpr Bytes kHarmlessCommands[] = {
    "robots",       "useproxy", "httpproxy",  "httpsproxy",     "noproxy",     "checkcertificate",
    "tries",        "timeout",  "dnstimeout", "connecttimeout", "readtimeout", "progress",
    "showprogress", "quiet",    "verbose",    "limitrate"};

// "-a" ... "-z" and every other ASCII letter as a static string, for the canonical spelling.
constexpr std::array<char, 256> kDashLetters = [] {
  std::array<char, 256> spellings{};
  for (std::size_t code = 0; code < 128; ++code) {
    spellings[2 * code] = '-';
    spellings[2 * code + 1] = static_cast<char>(code);
  }
  return spellings;
}();

Bytes canonicalSpelling(const OptionSpec& option) {
  if (option.letter == 0) return option.name;
  return Bytes(&kDashLetters[std::size_t{2} * static_cast<unsigned char>(option.letter)], 2);
}

char lowered(char byte) {
  return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
}

bool beginsIgnoringCase(Bytes bytes, Bytes lower_prefix) {
  if (bytes.size() < lower_prefix.size()) return false;
  for (std::size_t i = 0; i < lower_prefix.size(); ++i)
    if (lowered(bytes[i]) != lower_prefix[i]) return false;
  return true;
}

bool equalsIgnoringCase(Bytes bytes, Bytes lower) {
  return bytes.size() == lower.size() && beginsIgnoringCase(bytes, lower);
}

Bytes trimBlanks(Bytes bytes) {
  while (!bytes.empty() && (bytes.front() == ' ' || bytes.front() == '\t'))
    bytes.remove_prefix(1);
  while (!bytes.empty() && (bytes.back() == ' ' || bytes.back() == '\t'))
    bytes.remove_suffix(1);
  return bytes;
}

// The header name ends at ":" (a header) or ";" (curl's empty header); "@file" reads headers from
// a file, which may hold any of them.
std::optional<Bytes> headerReason(Bytes header) {
  if (header.starts_with('@')) return kCredentials;
  Bytes name = trimBlanks(bytesUpTo(header, header.find_first_of(":;")));
  if (equalsIgnoringCase(name, "authorization") || equalsIgnoringCase(name, "cookie"))
    return kCredentials;
  // The cache would be asked for the origin's site.
  if (equalsIgnoringCase(name, "host")) return kTransport;
  return std::nullopt;
}

// "%{name}" and "%header{name}"; "@file" reads the format from a file.
bool namesTheSource(Bytes format) {
  if (format.starts_with('@')) return true;
  for (std::size_t at = format.find('%'); at != Bytes::npos; at = format.find('%', at + 1)) {
    Bytes rest = bytesFrom(format, at + 1);
    if (beginsIgnoringCase(rest, "header{")) return true;
    if (!rest.starts_with('{')) continue;
    Bytes name = bytesFrom(rest, 1);
    name = bytesUpTo(name, name.find('}'));
    for (Bytes variable : kSourceVariables)
      if (equalsIgnoringCase(name, variable)) return true;
  }
  return false;
}

// wgetrc command names ignore case, "_" and "-": "use_proxy", "useProxy" and "use-proxy" are one.
bool sameCommandName(Bytes written, Bytes canonical) {
  std::size_t matched = 0;
  for (char byte : written) {
    if (byte == '_' || byte == '-') continue;
    if (matched == canonical.size() || lowered(byte) != canonical[matched]) return false;
    ++matched;
  }
  return matched == canonical.size();
}

// wget reads "name = value".
bool isHarmlessCommand(Bytes command) {
  std::size_t equals = command.find('=');
  if (equals == Bytes::npos) return false;
  Bytes name = trimBlanks(bytesUpTo(command, equals));
  for (Bytes harmless : kHarmlessCommands)
    if (sameCommandName(name, harmless)) return true;
  return false;
}

// What earlier options decided about how the tool treats the URL.
struct UrlTreatment {
  bool globoff = false;            // curl -g
  bool several_transfers = false;  // curl --next: a -g may belong to another URL
  bool output_document = false;    // wget -O
  bool remote_name = false;        // curl -O, also "--no-remote-name": when in doubt, gate
};

std::optional<Bytes> optionReason(const CommandLineItem& item, UrlTreatment& treatment) {
  const OptionSpec& option = *item.option;
  Bytes value = item.value.value_or(Bytes());
  switch (option.role) {
    case OptionRole::plain:
    case OptionRole::url:
      return std::nullopt;
    case OptionRole::header:
      return headerReason(value);
    case OptionRole::write_out:
      return namesTheSource(value) ? std::optional(kReportsSource) : std::nullopt;
    case OptionRole::execute:
      return isHarmlessCommand(value) ? std::nullopt : std::optional(kConfig);
    case OptionRole::globoff:
      treatment.globoff = !item.negated;
      return std::nullopt;
    case OptionRole::next:
      treatment.several_transfers = true;
      return std::nullopt;
    case OptionRole::output_document:
      treatment.output_document = true;
      return std::nullopt;
    case OptionRole::remote_name:
      treatment.remote_name = true;
      return std::nullopt;
    // The roles that always gate, each with its reason: a new role without one fails the build.
    case OptionRole::sends_data:
      return Bytes("sends data");
    case OptionRole::not_plain_get:
      return Bytes("not a plain GET");
    case OptionRole::credentials:
      return kCredentials;
    case OptionRole::transport:
      return kTransport;
    case OptionRole::reports_source:
      return kReportsSource;
    case OptionRole::keeps_state:
      return Bytes("keeps state");
    case OptionRole::file_name:
      return kFileName;
    case OptionRole::config:
      return kConfig;
  }
  return std::nullopt;
}

// The URL scan takes the first URL-looking element, which may be the value of an option such as
// "-o": redirecting would rename the output, not the download.
bool holdsTheUrlAsValue(const CommandLineItem& item, const UrlArgument& url) {
  return item.separate_value && item.index + 1 == url.index && item.option->role != OptionRole::url;
}

// "." or "..", also spelled "%2e": curl would drop the segment from the cache address.
bool isDotSegment(Bytes name) {
  std::size_t dots = 0;
  while (!name.empty() && dots < 3) {
    if (name.front() == '.') {
      name.remove_prefix(1);
    } else if (beginsIgnoringCase(name, "%2e")) {
      name.remove_prefix(3);
    } else {
      return false;
    }
    ++dots;
  }
  return name.empty() && (dots == 1 || dots == 2);
}

std::optional<GateVerdict> urlVerdict(bool wget, Bytes url, const UrlTreatment& treatment) {
  UrlParts parts = splitUrl(url);
  if (containsBytes(parts.authority, "@")) return GateVerdict{kCredentials, "userinfo"};
  if (isDotSegment(cacheFileName(url))) return GateVerdict{kFileName, "dot segment"};
  bool globbed = !treatment.globoff || treatment.several_transfers;
  if (!wget && globbed && url.find_first_of("[]{}") != Bytes::npos)
    return GateVerdict{"glob", "brackets"};
  // The name the tool would save under must be the cache address's file name.
  if (wget ? treatment.output_document : !treatment.remote_name) return std::nullopt;
  if (wget && containsBytes(url, "?")) return GateVerdict{kFileName, "query"};
  if (parts.path.empty()) return GateVerdict{kFileName, "no path"};
  if (parts.path.back() == '/') return GateVerdict{kFileName, "directory"};
  return std::nullopt;
}

}  // namespace

std::optional<GateVerdict> gateRedirect(Tool tool, std::span<char* const> arguments,
                                        const UrlArgument& url) {
  CommandLineReader reader(optionTableFor(tool), arguments);
  UrlTreatment treatment;
  while (std::optional<CommandLineItem> item = reader.next()) {
    if (item->option == nullptr) continue;
    if (holdsTheUrlAsValue(*item, url))
      return GateVerdict{kNotTheUrl, canonicalSpelling(*item->option)};
    if (std::optional<Bytes> reason = optionReason(*item, treatment))
      return GateVerdict{*reason, canonicalSpelling(*item->option)};
  }
  return urlVerdict(tool == Tool::wget, url.url, treatment);
}

}  // namespace larderbox
