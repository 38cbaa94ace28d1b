#include "shim/redirect_gate.h"

#include <array>

#include "shim/cache_address.h"
#include "shim/command_line.h"
#include "shim/selection.h"
#include "shim/tool_name.h"
#include "shim/tool_options.h"
#include "shim/url_parts.h"
#include "shim/wgetrc_commands.h"

namespace larderbox {
namespace {

constexpr Bytes kCredentials = "credentials";
constexpr Bytes kTransport = "transport";
constexpr Bytes kFileName = "file name";
constexpr Bytes kConfig = "config";
constexpr Bytes kHeader = "header";
constexpr Bytes kNotPlainGet = "not a plain GET";

// The reason an option of a role that always gates gives; none for the others. Every role is
// named, so that a new one does not compile until it has its place here.
constexpr Bytes gatingReason(OptionRole role) {
  switch (role) {
    case OptionRole::plain:
    case OptionRole::url:
    case OptionRole::header:
    case OptionRole::write_out:
    case OptionRole::execute:
    case OptionRole::globoff:
    case OptionRole::next:
    case OptionRole::output_document:
    case OptionRole::remote_name:
    case OptionRole::request:
    case OptionRole::variable:
      return {};
    case OptionRole::sends_data:
      return "sends data";
    case OptionRole::not_plain_get:
      return kNotPlainGet;
    case OptionRole::credentials:
      return kCredentials;
    case OptionRole::transport:
    case OptionRole::proxy:
      return kTransport;
    case OptionRole::reports_source:
      return "reports the source";
    case OptionRole::keeps_state:
      return "keeps state";
    case OptionRole::file_name:
      return kFileName;
    case OptionRole::config:
      return kConfig;
    case OptionRole::no_transfer:
      return "no transfer";
  }
  return {};  // a value outside the enumeration
}

// The value of an option that is not the URL would be replaced by the cache address.
constexpr Bytes kNotTheUrl = "not the URL";

// curl's report variables that tell where the bytes came from or how they got there.
constexpr Bytes kSourceVariables[] = {"url",       "url_effective", "redirect_url", "num_redirects",
                                      "remote_ip", "remote_port",   "local_ip",     "local_port",
                                      "scheme",    "json",          "header_json"};

// Headers that neither carry credentials nor change which bytes the origin answers with.
constexpr Bytes kHarmlessHeaders[] = {"user-agent", "referer", "cache-control", "pragma",
                                      "connection"};

// Accept values under which every origin answers with the resource as stored.
constexpr Bytes kHarmlessAccepts[] = {"", "*/*", "application/octet-stream"};

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

// The bytes of `spelling` from `from` up to the first one no option name holds: never a value, nor
// a line break that would forge a trace line.
Bytes optionNameIn(Bytes spelling, std::size_t from) {
  std::size_t end = from;
  while (end < spelling.size() && isNameByte(spelling[end]))
    ++end;
  return bytesUpTo(spelling, end);
}

// An option the family's table does not know, for the trace: its long name as written, up to the
// first byte no option name holds (never its value, nor a line break that would forge a line), or
// its letter.
GateVerdict unknownOption(const CommandLineItem& item) {
  constexpr Bytes kUnknown = "unknown option";
  Bytes spelling = item.spelling;
  if (spelling.size() == 1) {
    // "=" would read as the start of a value.
    bool printable = spelling[0] > ' ' && spelling[0] < 0x7f && spelling[0] != '=';
    return GateVerdict{kUnknown, printable ? dashLetter(spelling[0]) : Bytes("-?")};
  }
  return GateVerdict{kUnknown, optionNameIn(spelling, 2)};
}

// A name from the caller's bytes (a header's, a scheme's, a wgetrc command's) for the verdict: only
// ever what stands before its ":" or "=", never a value.
Bytes named(Bytes name) {
  return name.empty() ? Bytes("unnamed") : name;
}

bool isHarmlessHeader(Bytes name, Bytes value) {
  for (Bytes harmless : kHarmlessHeaders)
    if (equalsIgnoringCase(name, harmless)) return true;
  if (!equalsIgnoringCase(name, "accept")) return false;
  for (Bytes accept : kHarmlessAccepts)
    if (equalsIgnoringCase(value, accept)) return true;
  return false;
}

// A header the cache may see and still answer as the origin would; the name ends at ":" (a header)
// or ";" (curl's empty header). "@file" reads headers from a file, which may hold any of them, and
// a CR or LF would smuggle a header line of its own.
std::optional<GateVerdict> headerVerdict(Bytes header) {
  if (header.starts_with('@')) return GateVerdict{kHeader, "@file"};
  if (header.find_first_of("\r\n") != Bytes::npos) return GateVerdict{kHeader, "line break"};
  std::size_t end = header.find_first_of(":;");
  // Without a separator the whole element would be shown, and it may be a token.
  if (end == Bytes::npos) return GateVerdict{kHeader, "malformed"};
  Bytes name = trimBlanks(bytesUpTo(header, end));
  if (isHarmlessHeader(name, trimBlanks(bytesFrom(header, end + 1)))) return std::nullopt;
  return GateVerdict{kHeader, named(name)};
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

// What one option with its value means to the gate; `spelling` names it in the verdict.
std::optional<GateVerdict> roleVerdict(OptionRole role, Bytes spelling, std::optional<Bytes> value,
                                       bool negated, UrlTreatment& treatment) {
  switch (role) {
    case OptionRole::plain:
    case OptionRole::url:
      return std::nullopt;
    case OptionRole::header:
      return headerVerdict(value.value_or(Bytes()));
    case OptionRole::write_out:
      if (!namesTheSource(value.value_or(Bytes()))) return std::nullopt;
      return GateVerdict{gatingReason(OptionRole::reports_source), spelling};
    case OptionRole::execute:  // a command that runs commands: no table knows what they do
      return GateVerdict{kConfig, spelling};
    case OptionRole::request:
      if (value == "GET") return std::nullopt;
      return GateVerdict{kNotPlainGet, spelling};
    case OptionRole::variable:
      if (!readsFile(value.value_or(Bytes()))) return std::nullopt;
      return GateVerdict{kConfig, spelling};
    case OptionRole::globoff:
      treatment.globoff = !negated;
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
    case OptionRole::proxy:
      return GateVerdict{kTransport, "proxy"};
    case OptionRole::sends_data:
    case OptionRole::not_plain_get:
    case OptionRole::credentials:
    case OptionRole::transport:
    case OptionRole::reports_source:
    case OptionRole::keeps_state:
    case OptionRole::file_name:
    case OptionRole::config:
    case OptionRole::no_transfer:
      break;
  }
  return GateVerdict{gatingReason(role), spelling};
}

// A wgetrc command, "name = value"; one the shim does not know may do anything.
std::optional<GateVerdict> wgetrcVerdict(Bytes line, UrlTreatment& treatment) {
  std::optional<WgetrcCommand> command = splitWgetrcCommand(line);
  if (!command) return GateVerdict{kConfig, "syntax"};
  std::optional<OptionRole> role = wgetrcCommandRole(command->name);
  if (!role) return GateVerdict{kConfig, named(command->name)};
  return roleVerdict(*role, command->name, command->value, false, treatment);
}

// curl's "--expand-" form: the value of a header, a write-out format or a URL can hold anything
// a variable holds.
std::optional<GateVerdict> expandedVerdict(const OptionSpec& option) {
  switch (option.role) {
    case OptionRole::header:
      return GateVerdict{kCredentials, canonicalSpelling(option)};
    case OptionRole::write_out:
      return GateVerdict{gatingReason(OptionRole::reports_source), canonicalSpelling(option)};
    case OptionRole::url:
      return GateVerdict{kNotTheUrl, canonicalSpelling(option)};
    default:
      return std::nullopt;
  }
}

std::optional<GateVerdict> itemVerdict(const CommandLineItem& item, UrlTreatment& treatment) {
  const OptionSpec& option = *item.option;
  if (item.expanded)
    if (std::optional<GateVerdict> verdict = expandedVerdict(option)) return verdict;
  if (option.role == OptionRole::execute)
    return wgetrcVerdict(item.value.value_or(Bytes()), treatment);
  return roleVerdict(option.role, canonicalSpelling(option), item.value, item.negated, treatment);
}

// The URL scan takes the first URL-looking element, which may be the value of an option such as
// "-o": redirecting would rename the output, not the download.
bool holdsTheUrlAsValue(const CommandLineItem& item, const UrlArgument& url) {
  return item.separate_value && item.index + 1 == url.index && item.option->role != OptionRole::url;
}

// wget looks for these before it reads anything else; the last of each pair decides.
void noteFileSwitches(const OptionSpec& option, bool negated, FileSwitches& files) {
  Bytes name = option.name();
  if (name == "--no-config") files.config_off = true;
  if (name == "--config") files.config_off = negated;
  if (name == "--no-netrc") files.netrc_off = true;
  if (name == "--netrc") files.netrc_off = negated;
}

// curl looks at its first argument alone.
bool curlSkipsConfig(std::span<char* const> arguments) {
  if (arguments.empty()) return false;
  Bytes first(arguments[0]);
  return first == "--disable" || (first.size() >= 2 && first[0] == '-' && first[1] == 'q');
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

// Only HTTP: any other scheme (a local file, FTP, an unknown one) is no download the cache holds.
std::optional<GateVerdict> schemeVerdict(const UrlParts& parts) {
  if (parts.scheme.empty()) return GateVerdict{"scheme", "none"};
  Bytes name = bytesUpTo(parts.scheme, parts.scheme.size() - 3);
  if (equalsIgnoringCase(name, "http") || equalsIgnoringCase(name, "https")) return std::nullopt;
  return GateVerdict{"scheme", named(name)};
}

// curl globs brackets and braces, except the brackets of an IPv6 literal host.
bool hasGlobCharacters(Bytes url, const UrlParts& parts) {
  Bytes authority = parts.authority;
  std::size_t literal_end = authority.starts_with('[') ? authority.find(']') : Bytes::npos;
  if (literal_end == Bytes::npos) return url.find_first_of("[]{}") != Bytes::npos;
  Bytes after_literal = bytesFrom(url, parts.scheme.size() + literal_end + 1);
  return after_literal.find_first_of("[]{}") != Bytes::npos;
}

std::optional<GateVerdict> urlVerdict(bool wget, Bytes url, const UrlTreatment& treatment) {
  UrlParts parts = splitUrl(url);
  if (std::optional<GateVerdict> scheme = schemeVerdict(parts)) return scheme;
  if (containsBytes(parts.authority, "@")) return GateVerdict{kCredentials, "userinfo"};
  if (isDotSegment(cacheFileName(url))) return GateVerdict{kFileName, "dot segment"};
  bool globbed = !treatment.globoff || treatment.several_transfers;
  if (!wget && globbed && hasGlobCharacters(url, parts)) return GateVerdict{"glob", "brackets"};
  // The name the tool would save under must be the cache address's file name.
  if (wget ? treatment.output_document : !treatment.remote_name) return std::nullopt;
  if (wget && containsBytes(url, "?")) return GateVerdict{kFileName, "query"};
  if (parts.path.empty()) return GateVerdict{kFileName, "no path"};
  if (parts.path.back() == '/') return GateVerdict{kFileName, "directory"};
  return std::nullopt;
}

// A setting can only add to what the command line decided: a name from the URL is checked again.
std::optional<GateVerdict> settingUrlVerdict(Tool tool, Bytes url, const UrlTreatment& treatment) {
  if (!treatment.remote_name) return std::nullopt;
  return urlVerdict(tool == Tool::wget, url, UrlTreatment{.remote_name = true});
}

}  // namespace

CommandLineReading readCommandLine(ToolFamily family, std::span<char* const> arguments) {
  CommandLineReader reader(optionTableFor(family), arguments);
  CommandLineReading reading;
  UrlTreatment treatment;
  while (!reading.url || !reading.gate) {
    std::optional<CommandLineItem> item = reader.next();
    if (!item) break;
    if (!reading.url) {
      reading.url = urlInItem(*item, arguments);
      if (reading.url && !reading.gate && holdsTheUrlAsValue(*item, *reading.url))
        reading.gate = GateVerdict{kNotTheUrl, canonicalSpelling(*item->option)};
    }
    if (reading.gate || !item->is_option) continue;
    if (item->option == nullptr) {
      reading.gate = unknownOption(*item);
      continue;
    }
    if (family != ToolFamily::curl) noteFileSwitches(*item->option, item->negated, reading.files);
    reading.gate = itemVerdict(*item, treatment);
  }
  if (family == ToolFamily::curl) reading.files.config_off = curlSkipsConfig(arguments);
  if (!reading.url)
    reading.gate.reset();
  else if (!reading.gate)
    reading.gate = urlVerdict(family != ToolFamily::curl, reading.url->url, treatment);
  return reading;
}

std::optional<GateVerdict> gateCurlSetting(std::span<char* const> elements, Bytes url) {
  CommandLineReader reader(optionTableFor(Tool::curl), elements);
  UrlTreatment treatment;
  while (std::optional<CommandLineItem> item = reader.next()) {
    if (!item->is_option) continue;  // a value curl ignores
    if (item->option == nullptr) return unknownOption(*item);
    // Another URL would be fetched first, and the command line's options would apply to it.
    if (item->option->role == OptionRole::url) return GateVerdict{kConfig, "--url"};
    if (std::optional<GateVerdict> verdict = itemVerdict(*item, treatment)) return verdict;
  }
  return settingUrlVerdict(Tool::curl, url, treatment);
}

std::optional<GateVerdict> gateCurlSetting(Bytes name, std::optional<Bytes> value, Bytes url) {
  OptionMatch match = findLongOption(optionTableFor(Tool::curl), name);
  if (match.option == nullptr) return GateVerdict{"unknown option", named(optionNameIn(name, 0))};
  if (match.option->role == OptionRole::url) return GateVerdict{kConfig, "--url"};
  CommandLineItem item;
  item.is_option = true;
  item.option = match.option;
  item.negated = match.negated;
  item.expanded = match.expanded;
  item.spelling = name;
  // A switch ignores what follows its name.
  if (match.option->takesValue() && !match.negated) item.value = value;
  UrlTreatment treatment;
  if (std::optional<GateVerdict> verdict = itemVerdict(item, treatment)) return verdict;
  return settingUrlVerdict(Tool::curl, url, treatment);
}

std::optional<GateVerdict> gateWgetSetting(Bytes command, Bytes url) {
  UrlTreatment treatment;
  if (std::optional<GateVerdict> verdict = wgetrcVerdict(command, treatment)) return verdict;
  return settingUrlVerdict(Tool::wget, url, treatment);
}

}  // namespace larderbox
