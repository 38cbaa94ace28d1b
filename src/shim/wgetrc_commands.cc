#include "shim/wgetrc_commands.h"

namespace larderbox {
namespace {

struct CommandRole {
  Bytes name;  // lower case, without "_" and "-"
  OptionRole role;
};

// Harmless ones change nothing about what is fetched, how it is named, or from where. The rest are
// listed for the reason they give; a command not listed at all goes direct too.
constexpr CommandRole kCommands[] = {
    {"passiveftp", OptionRole::plain},
    {"robots", OptionRole::plain},
    {"tries", OptionRole::plain},
    {"timeout", OptionRole::plain},
    {"dnstimeout", OptionRole::plain},
    {"connecttimeout", OptionRole::plain},
    {"readtimeout", OptionRole::plain},
    {"progress", OptionRole::plain},
    {"showprogress", OptionRole::plain},
    {"quiet", OptionRole::plain},
    {"verbose", OptionRole::plain},
    {"limitrate", OptionRole::plain},
    {"wait", OptionRole::plain},
    {"waitretry", OptionRole::plain},
    {"randomwait", OptionRole::plain},
    {"retryconnrefused", OptionRole::plain},
    {"dotbytes", OptionRole::plain},
    {"dotspacing", OptionRole::plain},
    {"dotsinline", OptionRole::plain},
    {"dotstyle", OptionRole::plain},
    {"dnscache", OptionRole::plain},
    {"checkcertificate", OptionRole::plain},
    {"continue", OptionRole::plain},
    {"noclobber", OptionRole::plain},
    {"dirprefix", OptionRole::plain},
    {"useragent", OptionRole::plain},
    {"referer", OptionRole::plain},
    {"cache", OptionRole::plain},
    {"httpkeepalive", OptionRole::plain},
    {"netrc", OptionRole::plain},  // the netrc file itself is judged where it is read
    {"header", OptionRole::header},
    {"outputdocument", OptionRole::output_document},
    {"httpproxy", OptionRole::proxy},
    {"httpsproxy", OptionRole::proxy},
    {"ftpproxy", OptionRole::proxy},
    {"noproxy", OptionRole::proxy},
    {"useproxy", OptionRole::proxy},
    {"proxyuser", OptionRole::proxy},
    {"proxypassword", OptionRole::proxy},
    {"postdata", OptionRole::sends_data},
    {"postfile", OptionRole::sends_data},
    {"bodydata", OptionRole::sends_data},
    {"bodyfile", OptionRole::sends_data},
    {"method", OptionRole::not_plain_get},
    {"spider", OptionRole::not_plain_get},
    {"user", OptionRole::credentials},
    {"password", OptionRole::credentials},
    {"httpuser", OptionRole::credentials},
    {"httppassword", OptionRole::credentials},
    {"askpassword", OptionRole::credentials},
    {"useaskpass", OptionRole::credentials},
    {"loadcookies", OptionRole::credentials},
    {"certificate", OptionRole::credentials},
    {"privatekey", OptionRole::credentials},
    {"httpsonly", OptionRole::transport},
    {"cacertificate", OptionRole::transport},
    {"cadirectory", OptionRole::transport},
    {"crlfile", OptionRole::transport},
    {"pinnedpubkey", OptionRole::transport},
    {"bindaddress", OptionRole::transport},
    {"inet4only", OptionRole::transport},
    {"inet6only", OptionRole::transport},
    {"savecookies", OptionRole::keeps_state},
    {"saveheaders", OptionRole::reports_source},
    {"serverresponse", OptionRole::reports_source},
    {"xattr", OptionRole::reports_source},
    {"warcfile", OptionRole::reports_source},
    {"contentdisposition", OptionRole::file_name},
    {"trustservernames", OptionRole::file_name},
    {"adjustextension", OptionRole::file_name},
    {"recursive", OptionRole::file_name},
    {"mirror", OptionRole::file_name},
    {"pagerequisites", OptionRole::file_name},
    {"convertlinks", OptionRole::file_name},
};

bool sameCommandName(Bytes written, Bytes canonical) {
  std::size_t matched = 0;
  for (char byte : written) {
    if (byte == '_' || byte == '-') continue;
    if (matched == canonical.size() || asciiLower(byte) != canonical[matched]) return false;
    ++matched;
  }
  return matched == canonical.size();
}

}  // namespace

std::optional<WgetrcCommand> splitWgetrcCommand(Bytes line) {
  std::size_t equals = line.find('=');
  if (equals == Bytes::npos) return std::nullopt;
  return WgetrcCommand{trimBlanks(bytesUpTo(line, equals)),
                       trimBlanks(bytesFrom(line, equals + 1))};
}

std::optional<OptionRole> wgetrcCommandRole(Bytes name) {
  for (const CommandRole& command : kCommands)
    if (sameCommandName(name, command.name)) return command.role;
  return std::nullopt;
}

}  // namespace larderbox
