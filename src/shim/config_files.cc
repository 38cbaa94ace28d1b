#include "shim/config_files.h"

#include <array>
#include <initializer_list>

#include "runtime/file_contents.h"
#include "runtime/strings.h"
#include "runtime/system_calls.h"
#include "shim/config_syntax.h"
#include "shim/url_parts.h"

namespace larderbox {
namespace {

constexpr Bytes kConfig = "config";

// Larger files are not configuration anyone writes by hand: going direct is the safe answer.
constexpr std::size_t kConfigLimit = std::size_t{1} << 20;
constexpr std::size_t kPasswordFileLimit = std::size_t{8} << 20;

// Which file is being judged, for the verdict's detail.
struct ConfigSource {
  ProcessAllocator& allocator;
  Bytes path;
};

GateVerdict outOfMemory() {
  return {kConfig, "out of memory"};
}

Bytes decimal(std::array<char, 24>& digits, std::size_t value) {
  std::size_t at = digits.size();
  do {
    digits[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0 && at > 0);
  return Bytes(digits.data() + at, digits.size() - at);
}

GateVerdict settingVerdict(const ConfigSource& source, std::size_t line, GateVerdict inner) {
  std::array<char, 24> digits{};
  std::optional<Bytes> detail = joinWithNul(
      source.allocator,
      {source.path, ":", decimal(digits, line), " (", inner.reason, ": ", inner.detail, ")"});
  return detail ? GateVerdict{kConfig, *detail} : outOfMemory();
}

GateVerdict unreadableVerdict(const ConfigSource& source) {
  std::optional<Bytes> detail = joinWithNul(source.allocator, {source.path, " (unreadable)"});
  return detail ? GateVerdict{kConfig, *detail} : outOfMemory();
}

// Each line of a file through `judge`, the first verdict wins. `judge` sees a line that is not
// empty and not a comment.
template <class Judge>
std::optional<GateVerdict> judgeLines(const ConfigSource& source, Bytes contents, Judge judge) {
  Bytes rest = contents;
  std::size_t number = 0;
  while (std::optional<Bytes> line = takeLine(rest)) {
    ++number;
    if (isEmptySetting(*line)) continue;
    if (std::optional<GateVerdict> inner = judge(*line))
      return settingVerdict(source, number, *inner);
  }
  return std::nullopt;
}

std::optional<GateVerdict> judgeCurlFile(const ConfigSource& source, Bytes contents, Bytes url) {
  bool out_of_memory = false;
  std::optional<GateVerdict> verdict =
      judgeLines(source, contents, [&](Bytes line) -> std::optional<GateVerdict> {
        std::optional<CurlSetting> setting = parseCurlSetting(source.allocator, line);
        if (setting && !setting->option.starts_with('-'))
          return gateCurlSetting(setting->option, setting->value, url);
        // Written as on the command line ("-sd x"): read as the command line is, from copies.
        std::optional<Bytes> option;
        std::optional<Bytes> value;
        if (setting) option = copyWithNul(source.allocator, setting->option);
        if (setting && setting->value) value = copyWithNul(source.allocator, *setting->value);
        if (!option || (setting->value && !value)) {
          out_of_memory = true;
          return GateVerdict{kConfig, "out of memory"};
        }
        char* elements[] = {const_cast<char*>(option->data()),
                            value ? const_cast<char*>(value->data()) : nullptr};
        return gateCurlSetting(std::span<char* const>(elements, value ? 2 : 1), url);
      });
  return out_of_memory ? outOfMemory() : verdict;
}

std::optional<GateVerdict> judgeWgetFile(const ConfigSource& source, Bytes contents, Bytes url) {
  return judgeLines(source, contents, [&](Bytes line) { return gateWgetSetting(line, url); });
}

// The host name a netrc entry would be looked up by: no userinfo, no port.
Bytes urlHost(Bytes url) {
  Bytes authority = splitUrl(url).authority;
  std::size_t at = authority.rfind('@');
  if (at != Bytes::npos) authority = bytesFrom(authority, at + 1);
  if (authority.starts_with('[')) return bytesUpTo(authority, authority.find(']') + 1);
  return bytesUpTo(authority, authority.find(':'));
}

// How one file is judged once read.
enum class FileKind : std::uint8_t { curl_config, wget_config, netrc };

struct FileCheck {
  ProcessAllocator& allocator;
  Bytes url;
  std::optional<GateVerdict> verdict;
  bool done = false;        // a verdict was given, or memory ran out
  bool found = false;       // some file was there
  bool home_known = false;  // `home` was looked up: the passwd database is read once at most
  std::optional<Bytes> home = std::nullopt;
};

// Reads `path` (absent: nothing to judge; `required`: wget refuses to run without it) and judges
// it.
void checkFile(FileCheck& check, std::optional<Bytes> path, FileKind kind, bool required = false) {
  if (check.done) return;
  if (!path) {
    check.verdict = outOfMemory();
    check.done = true;
    return;
  }
  FileContents file = readSmallFile(check.allocator, path->data(), kConfigLimit);
  ConfigSource source{check.allocator, *path};
  if (file.kind == FileRead::absent && !required) return;
  check.found = true;
  if (file.kind != FileRead::read) {
    check.verdict = unreadableVerdict(source);
  } else if (kind == FileKind::netrc) {
    if (netrcCoversHost(file.bytes, urlHost(check.url)))
      check.verdict = GateVerdict{"credentials", *path};
  } else {
    check.verdict = kind == FileKind::curl_config ? judgeCurlFile(source, file.bytes, check.url)
                                                  : judgeWgetFile(source, file.bytes, check.url);
  }
  check.done = check.verdict.has_value();
}

// The home directory of the password database's entry for this user ("name:pw:uid:gid:gecos:
// home:shell"), which the tools use where HOME does not lead to a file. Without a database or an
// entry there is none; a database that cannot be read leaves the check without an answer.
std::optional<Bytes> passwordHome(FileCheck& check) {
  FileContents passwd = readSmallFile(check.allocator, "/etc/passwd", kPasswordFileLimit);
  if (passwd.kind == FileRead::unreadable && !check.done) {
    check.verdict = unreadableVerdict({check.allocator, "/etc/passwd"});
    check.done = true;
  }
  if (passwd.kind != FileRead::read) return std::nullopt;
  std::array<char, 24> digits{};
  Bytes uid = decimal(digits, realUserId());
  Bytes rest = passwd.bytes;
  while (std::optional<Bytes> line = takeLine(rest)) {
    std::array<Bytes, 6> fields{};
    Bytes field_rest = *line;
    for (Bytes& field : fields) {
      std::size_t colon = field_rest.find(':');
      field = bytesUpTo(field_rest, colon);
      field_rest = colon == Bytes::npos ? Bytes() : bytesFrom(field_rest, colon + 1);
    }
    if (fields[2] == uid && !fields[5].empty()) return fields[5];
  }
  return std::nullopt;
}

void checkCurlHome(FileCheck& check, std::optional<Bytes> home, Bytes second_name) {
  if (!home) return;
  for (Bytes name : {Bytes("/.curlrc"), second_name})
    checkFile(check, joinWithNul(check.allocator, {*home, name}), FileKind::curl_config);
}

// The curl configuration files of every release, each one that exists: releases differ in which of
// them they read (7.88 "$XDG_CONFIG_HOME/.curlrc", 8.x ".../curlrc"), and reading one too many
// costs a hit at the most. Every release (7.88, 8.14, 8.23, measured) takes the first file it finds
// and looks below the passwd entry's home last, so that home counts only when no other file was.
std::optional<GateVerdict> checkCurlFiles(FileCheck& check, EnvironmentBlock environment) {
  std::optional<Bytes> home = lookupEnv(environment, "HOME");
  checkCurlHome(check, lookupEnv(environment, "CURL_HOME"), "/.config/curlrc");
  checkCurlHome(check, lookupEnv(environment, "XDG_CONFIG_HOME"), "/curlrc");
  checkCurlHome(check, home, "/.config/curlrc");
  if (check.found) return check.verdict;
  std::optional<Bytes> password_home = passwordHome(check);
  if (password_home != home) checkCurlHome(check, password_home, "/.config/curlrc");
  return check.verdict;
}

std::optional<Bytes> userHome(FileCheck& check, EnvironmentBlock environment) {
  if (!check.home_known) {
    check.home = lookupEnv(environment, "HOME");
    if (!check.home) check.home = passwordHome(check);
    check.home_known = true;
  }
  return check.home;
}

// One family's startup files: the system's (the variable's file and the fixed one both count), then
// the user's variable (a file that must be there), else the files below the home directory.
struct StartupFiles {
  Bytes system_variable;
  Bytes system_file;
  Bytes user_variable;
  std::initializer_list<Bytes> below_home;
};

void checkStartupFiles(FileCheck& check, EnvironmentBlock environment, const StartupFiles& files) {
  if (std::optional<Bytes> system = lookupEnv(environment, files.system_variable))
    checkFile(check, copyWithNul(check.allocator, *system), FileKind::wget_config);
  checkFile(check, files.system_file, FileKind::wget_config);
  if (std::optional<Bytes> user = lookupEnv(environment, files.user_variable)) {
    checkFile(check, copyWithNul(check.allocator, *user), FileKind::wget_config, true);
    return;
  }
  std::optional<Bytes> home = userHome(check, environment);
  if (!home) return;
  for (Bytes name : files.below_home)
    checkFile(check, joinWithNul(check.allocator, {*home, name}), FileKind::wget_config);
}

// wget2 looks in $XDG_CONFIG_HOME/wget, else ~/.config/wget, and in ~/.wget2rc (2.2.0, measured).
void checkWget2UserFiles(FileCheck& check, EnvironmentBlock environment) {
  if (std::optional<Bytes> xdg = lookupEnv(environment, "XDG_CONFIG_HOME"))
    checkFile(check, joinWithNul(check.allocator, {*xdg, "/wget/wget2rc"}), FileKind::wget_config);
}

std::optional<GateVerdict> checkWgetFiles(FileCheck& check, EnvironmentBlock environment,
                                          ToolFamily family, FileSwitches switches) {
  if (!switches.config_off) {
    if (family == ToolFamily::wget2) {
      checkWget2UserFiles(check, environment);
      checkStartupFiles(
          check, environment,
          {"SYSTEM_WGET2RC", "/etc/wget2rc", "WGET2RC", {"/.config/wget/wget2rc", "/.wget2rc"}});
    } else {
      checkStartupFiles(check, environment,
                        {"SYSTEM_WGETRC", "/etc/wgetrc", "WGETRC", {"/.wgetrc"}});
    }
  }
  if (switches.netrc_off) return check.verdict;
  if (std::optional<Bytes> home = userHome(check, environment))
    checkFile(check, joinWithNul(check.allocator, {*home, "/.netrc"}), FileKind::netrc);
  return check.verdict;
}

}  // namespace

std::optional<GateVerdict> gateConfigFiles(ProcessAllocator& allocator,
                                           EnvironmentBlock environment, ToolFamily family,
                                           FileSwitches switches, Bytes url) {
  FileCheck check{allocator, url, std::nullopt};
  if (family == ToolFamily::busybox) return std::nullopt;
  if (family != ToolFamily::curl) return checkWgetFiles(check, environment, family, switches);
  if (switches.config_off) return std::nullopt;
  return checkCurlFiles(check, environment);
}

}  // namespace larderbox
