#include "shim/wgetrc_commands.h"

namespace larderbox {
namespace {

// Harmless ones change nothing about what is fetched, how it is named, or from where. The rest are
// listed for the reason they give; a command not listed at all goes direct too. Names in lower
// case, without "_" and "-". ("netrc" is harmless here: the netrc file itself is judged where it
// is read.)
#define LARDERBOX_WGETRC_COMMANDS(X) \
  X(passiveftp, plain)               \
  X(robots, plain)                   \
  X(tries, plain)                    \
  X(timeout, plain)                  \
  X(dnstimeout, plain)               \
  X(connecttimeout, plain)           \
  X(readtimeout, plain)              \
  X(progress, plain)                 \
  X(showprogress, plain)             \
  X(quiet, plain)                    \
  X(verbose, plain)                  \
  X(limitrate, plain)                \
  X(wait, plain)                     \
  X(waitretry, plain)                \
  X(randomwait, plain)               \
  X(retryconnrefused, plain)         \
  X(dotbytes, plain)                 \
  X(dotspacing, plain)               \
  X(dotsinline, plain)               \
  X(dotstyle, plain)                 \
  X(dnscache, plain)                 \
  X(checkcertificate, plain)         \
  X(continue, plain)                 \
  X(noclobber, plain)                \
  X(dirprefix, plain)                \
  X(useragent, plain)                \
  X(referer, plain)                  \
  X(cache, plain)                    \
  X(httpkeepalive, plain)            \
  X(netrc, plain)                    \
  X(header, header)                  \
  X(outputdocument, output_document) \
  X(httpproxy, proxy)                \
  X(httpsproxy, proxy)               \
  X(ftpproxy, proxy)                 \
  X(noproxy, proxy)                  \
  X(useproxy, proxy)                 \
  X(proxyuser, proxy)                \
  X(proxypassword, proxy)            \
  X(postdata, sends_data)            \
  X(postfile, sends_data)            \
  X(bodydata, sends_data)            \
  X(bodyfile, sends_data)            \
  X(method, not_plain_get)           \
  X(spider, not_plain_get)           \
  X(user, credentials)               \
  X(password, credentials)           \
  X(httpuser, credentials)           \
  X(httppassword, credentials)       \
  X(askpassword, credentials)        \
  X(useaskpass, credentials)         \
  X(loadcookies, credentials)        \
  X(certificate, credentials)        \
  X(privatekey, credentials)         \
  X(httpsonly, transport)            \
  X(cacertificate, transport)        \
  X(cadirectory, transport)          \
  X(crlfile, transport)              \
  X(pinnedpubkey, transport)         \
  X(bindaddress, transport)          \
  X(inet4only, transport)            \
  X(inet6only, transport)            \
  X(savecookies, keeps_state)        \
  X(saveheaders, reports_source)     \
  X(serverresponse, reports_source)  \
  X(xattr, reports_source)           \
  X(warcfile, reports_source)        \
  X(contentdisposition, file_name)   \
  X(trustservernames, file_name)     \
  X(adjustextension, file_name)      \
  X(recursive, file_name)            \
  X(mirror, file_name)               \
  X(pagerequisites, file_name)       \
  X(convertlinks, file_name)

// The names one after another, each ended by a NUL, and their roles in the same order: no pointer
// per name, so the table stays out of the relocated data.
constexpr char kCommandNames[] =
#define LARDERBOX_WGETRC_NAME(name, role) #name "\0"
    LARDERBOX_WGETRC_COMMANDS(LARDERBOX_WGETRC_NAME);
#undef LARDERBOX_WGETRC_NAME

constexpr OptionRole kCommandRoles[] = {
#define LARDERBOX_WGETRC_ROLE(name, role) OptionRole::role,
    LARDERBOX_WGETRC_COMMANDS(LARDERBOX_WGETRC_ROLE)
#undef LARDERBOX_WGETRC_ROLE
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
  const char* canonical = kCommandNames;
  for (OptionRole role : kCommandRoles) {
    Bytes command(canonical);
    if (sameCommandName(name, command)) return role;
    canonical += command.size() + 1;
  }
  return std::nullopt;
}

}  // namespace larderbox
