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

// Indexed by the roles that always gate, in their order.
constexpr Bytes kGatingReasons[] = {"sends data",   "not a plain GET", kCredentials, kTransport,
                                    kReportsSource, "keeps state",     kFileName,    kConfig};

constexpr std::size_t gatingIndex(OptionRole role) {
  return static_cast<std::size_t>(role) - static_cast<std::size_t>(OptionRole::sends_data);
}
static_assert(std::size(kGatingReasons) == gatingIndex(OptionRole::config) + 1);

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

// "-a" ... "-z" and every other byte as a static string, for the canonical spelling.
constexpr std::array<char, 512> kDashLetters = [] {
  std::array<char, 512> spellings{};
  for (std::size_t code = 0; code < 256; ++code) {
    spellings[2 * code] = '-';
    spellings[2 * code + 1] = static_cast<char>(code);
  }
  return spellings;
}();

Bytes dashLetter(char letter) {
  return Bytes(&kDashLetters[std::size_t{2} * static_cast<unsigned char>(letter)], 2);
}

Bytes canonicalSpelling(const OptionSpec& option) {
  return option.letter == 0 ? option.name() : dashLetter(option.letter);
}

bool isNameByte(char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' || byte == '.';
}

// An option the family's table does not know, for the trace: its long name as written, up to the
// first byte no option name holds (never its value, nor a line break that would forge a line), or
// its letter.
GateVerdict unknownOption(const CommandLineItem& item) {
  constexpr Bytes kUnknown = "unknown option";
  Bytes spelling = item.spelling;
  if (spelling.size() == 1) {
    bool printable = spelling[0] > ' ' && spelling[0] < 0x7f;
    return GateVerdict{kUnknown, printable ? dashLetter(spelling[0]) : Bytes("-?")};
  }
  std::size_t end = 2;
  while (end < spelling.size() && isNameByte(spelling[end]))
    ++end;
  return GateVerdict{kUnknown, bytesUpTo(spelling, end)};
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
    // The parts of the URL ("url.host", "urle.path", ...).
    if (beginsIgnoringCase(name, "url.") || beginsIgnoringCase(name, "urle.")) return true;
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

// curl's "--variable name@file" (and "%name@file") sets a variable from a file, which may hold
// anything an expanded option then sends.
bool readsFile(Bytes variable) {
  std::size_t separator = variable.find_first_of("=@");
  return separator != Bytes::npos && variable[separator] == '@';
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
      return std::nullopt;
    // An expanded value ("--expand-header") can hold anything a variable holds.
    case OptionRole::url:
      return item.expanded ? std::optional(kNotTheUrl) : std::nullopt;
    case OptionRole::header:
      return item.expanded ? std::optional(kCredentials) : headerReason(value);
    case OptionRole::write_out:
      return item.expanded || namesTheSource(value) ? std::optional(kReportsSource) : std::nullopt;
    case OptionRole::variable:
      return readsFile(value) ? std::optional(kConfig) : std::nullopt;
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
    default:
      return kGatingReasons[gatingIndex(option.role)];
  }
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

std::optional<GateVerdict> gateRedirect(ToolFamily family, std::span<char* const> arguments,
                                        const UrlArgument& url) {
  CommandLineReader reader(optionTableFor(family), arguments);
  UrlTreatment treatment;
  while (std::optional<CommandLineItem> item = reader.next()) {
    if (!item->is_option) continue;
    if (item->option == nullptr) return unknownOption(*item);
    if (holdsTheUrlAsValue(*item, url))
      return GateVerdict{kNotTheUrl, canonicalSpelling(*item->option)};
    if (std::optional<Bytes> reason = optionReason(*item, treatment))
      return GateVerdict{*reason, canonicalSpelling(*item->option)};
  }
  return urlVerdict(family != ToolFamily::curl, url.url, treatment);
}

std::optional<GateVerdict> gateRedirect(Tool tool, std::span<char* const> arguments,
                                        const UrlArgument& url) {
  return gateRedirect(tool == Tool::wget ? ToolFamily::gnu_wget : ToolFamily::curl, arguments, url);
}

}  // namespace larderbox
