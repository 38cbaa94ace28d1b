#include "shim/tool_options.h"

#include <array>
#include <cstdint>
#include <span>

#include "shim/tool_name.h"

namespace larderbox {
namespace {

// An option as the tables below spell it; only the pool and the packed tables reach the program.
struct OptionEntry {
  Bytes name;
  char letter;
  OptionValue value;
  OptionRole role;
};

// Sorted by name. Every option of curl 7.88 to 8.23 (`curl --help all` of each release, and the
// hidden ones each accepts) is here: one the table does not know sends the command line to the
// real tool unchanged. Options only newer releases know are judged as those releases read them;
// an older release refuses them whether or not the shim redirects. curl reads "--expand-NAME" as
// NAME with variables expanded in its value (findLongOption).
constexpr OptionEntry kCurlEntries[] = {
    {"", '$', OptionValue::none, OptionRole::plain},
    {"", '*', OptionValue::required, OptionRole::plain},
    {"--abstract-unix-socket", 0, OptionValue::required, OptionRole::transport},
    {"--alt-svc", 0, OptionValue::required, OptionRole::keeps_state},
    {"--anyauth", 0, OptionValue::none, OptionRole::credentials},
    {"--append", 'a', OptionValue::none, OptionRole::plain},
    {"--aws-sigv4", 0, OptionValue::required, OptionRole::credentials},
    {"--basic", 0, OptionValue::none, OptionRole::plain},
    {"--ca-native", 0, OptionValue::none, OptionRole::transport},
    {"--cacert", 0, OptionValue::required, OptionRole::transport},
    {"--capath", 0, OptionValue::required, OptionRole::transport},
    {"--cert", 'E', OptionValue::required, OptionRole::credentials},
    {"--cert-status", 0, OptionValue::none, OptionRole::transport},
    {"--cert-type", 0, OptionValue::required, OptionRole::plain},
    {"--ciphers", 0, OptionValue::required, OptionRole::transport},
    {"--compressed", 0, OptionValue::none, OptionRole::plain},
    {"--compressed-ssh", 0, OptionValue::none, OptionRole::plain},
    {"--config", 'K', OptionValue::required, OptionRole::config},
    {"--connect-timeout", 0, OptionValue::required, OptionRole::plain},
    {"--connect-to", 0, OptionValue::required, OptionRole::transport},
    {"--continue-at", 'C', OptionValue::required, OptionRole::plain},
    {"--cookie", 'b', OptionValue::required, OptionRole::credentials},
    {"--cookie-jar", 'c', OptionValue::required, OptionRole::keeps_state},
    {"--create-dirs", 0, OptionValue::none, OptionRole::plain},
    {"--create-file-mode", 0, OptionValue::required, OptionRole::plain},
    {"--crlf", 0, OptionValue::none, OptionRole::plain},
    {"--crlfile", 0, OptionValue::required, OptionRole::transport},
    {"--curves", 0, OptionValue::required, OptionRole::transport},
    {"--data", 'd', OptionValue::required, OptionRole::sends_data},
    {"--data-ascii", 0, OptionValue::required, OptionRole::sends_data},
    {"--data-binary", 0, OptionValue::required, OptionRole::sends_data},
    {"--data-raw", 0, OptionValue::required, OptionRole::sends_data},
    {"--data-urlencode", 0, OptionValue::required, OptionRole::sends_data},
    {"--delegation", 0, OptionValue::required, OptionRole::credentials},
    {"--digest", 0, OptionValue::none, OptionRole::credentials},
    {"--disable", 'q', OptionValue::none, OptionRole::plain},
    {"--disable-eprt", 0, OptionValue::none, OptionRole::plain},
    {"--disable-epsv", 0, OptionValue::none, OptionRole::plain},
    {"--disallow-username-in-url", 0, OptionValue::none, OptionRole::plain},
    {"--dns-interface", 0, OptionValue::required, OptionRole::transport},
    {"--dns-ipv4-addr", 0, OptionValue::required, OptionRole::transport},
    {"--dns-ipv6-addr", 0, OptionValue::required, OptionRole::transport},
    {"--dns-servers", 0, OptionValue::required, OptionRole::transport},
    {"--doh-cert-status", 0, OptionValue::none, OptionRole::plain},
    {"--doh-insecure", 0, OptionValue::none, OptionRole::plain},
    {"--doh-url", 0, OptionValue::not_url, OptionRole::transport},
    {"--dump-ca-embed", 0, OptionValue::none, OptionRole::plain},
    {"--dump-header", 'D', OptionValue::required, OptionRole::reports_source},
    {"--ech", 0, OptionValue::required, OptionRole::transport},
    {"--egd-file", 0, OptionValue::required, OptionRole::plain},
    {"--engine", 0, OptionValue::required, OptionRole::plain},
    {"--etag-compare", 0, OptionValue::required, OptionRole::keeps_state},
    {"--etag-save", 0, OptionValue::required, OptionRole::keeps_state},
    {"--expect100-timeout", 0, OptionValue::required, OptionRole::plain},
    {"--fail", 'f', OptionValue::none, OptionRole::plain},
    {"--fail-early", 0, OptionValue::none, OptionRole::plain},
    {"--fail-with-body", 0, OptionValue::none, OptionRole::plain},
    {"--false-start", 0, OptionValue::none, OptionRole::plain},
    {"--follow", 0, OptionValue::none, OptionRole::plain},
    {"--form", 'F', OptionValue::required, OptionRole::sends_data},
    {"--form-escape", 0, OptionValue::none, OptionRole::plain},
    {"--form-string", 0, OptionValue::required, OptionRole::sends_data},
    {"--ftp-account", 0, OptionValue::required, OptionRole::credentials},
    {"--ftp-alternative-to-user", 0, OptionValue::required, OptionRole::credentials},
    {"--ftp-create-dirs", 0, OptionValue::none, OptionRole::plain},
    {"--ftp-method", 0, OptionValue::required, OptionRole::plain},
    {"--ftp-pasv", 0, OptionValue::none, OptionRole::plain},
    {"--ftp-port", 'P', OptionValue::required, OptionRole::plain},
    {"--ftp-pret", 0, OptionValue::none, OptionRole::plain},
    {"--ftp-skip-pasv-ip", 0, OptionValue::none, OptionRole::plain},
    {"--ftp-ssl", 0, OptionValue::none, OptionRole::plain},
    {"--ftp-ssl-ccc", 0, OptionValue::none, OptionRole::plain},
    {"--ftp-ssl-ccc-mode", 0, OptionValue::required, OptionRole::plain},
    {"--ftp-ssl-control", 0, OptionValue::none, OptionRole::plain},
    {"--ftp-ssl-reqd", 0, OptionValue::none, OptionRole::transport},
    {"--get", 'G', OptionValue::none, OptionRole::plain},
    {"--globoff", 'g', OptionValue::none, OptionRole::globoff},
    {"--happy-eyeballs-timeout-ms", 0, OptionValue::required, OptionRole::plain},
    {"--haproxy-clientip", 0, OptionValue::required, OptionRole::transport},
    {"--haproxy-protocol", 0, OptionValue::none, OptionRole::transport},
    {"--head", 'I', OptionValue::none, OptionRole::not_plain_get},
    {"--header", 'H', OptionValue::required, OptionRole::header},
    {"--help", 'h', OptionValue::required, OptionRole::no_transfer},
    {"--hostpubmd5", 0, OptionValue::required, OptionRole::transport},
    {"--hostpubsha256", 0, OptionValue::required, OptionRole::transport},
    {"--hsts", 0, OptionValue::required, OptionRole::keeps_state},
    {"--http0.9", 0, OptionValue::none, OptionRole::plain},
    {"--http1.0", '0', OptionValue::none, OptionRole::plain},
    {"--http1.1", 0, OptionValue::none, OptionRole::plain},
    {"--http2", 0, OptionValue::none, OptionRole::plain},
    {"--http2-prior-knowledge", 0, OptionValue::none, OptionRole::transport},
    {"--http3", 0, OptionValue::none, OptionRole::plain},
    {"--http3-only", 0, OptionValue::none, OptionRole::transport},
    {"--ignore-content-length", 0, OptionValue::none, OptionRole::plain},
    {"--include", 'i', OptionValue::none, OptionRole::reports_source},
    {"--insecure", 'k', OptionValue::none, OptionRole::plain},
    {"--interface", 0, OptionValue::required, OptionRole::transport},
    {"--ip-tos", 0, OptionValue::required, OptionRole::plain},
    {"--ipfs-gateway", 0, OptionValue::not_url, OptionRole::transport},
    {"--ipv4", '4', OptionValue::none, OptionRole::transport},
    {"--ipv6", '6', OptionValue::none, OptionRole::transport},
    {"--json", 0, OptionValue::required, OptionRole::sends_data},
    {"--junk-session-cookies", 'j', OptionValue::none, OptionRole::plain},
    {"--keepalive-cnt", 0, OptionValue::required, OptionRole::plain},
    {"--keepalive-time", 0, OptionValue::required, OptionRole::plain},
    {"--key", 0, OptionValue::required, OptionRole::credentials},
    {"--key-type", 0, OptionValue::required, OptionRole::plain},
    {"--knownhosts", 0, OptionValue::required, OptionRole::plain},
    {"--krb", 0, OptionValue::required, OptionRole::credentials},
    {"--krb4", 0, OptionValue::required, OptionRole::credentials},
    {"--libcurl", 0, OptionValue::required, OptionRole::reports_source},
    {"--limit-rate", 0, OptionValue::required, OptionRole::plain},
    {"--list-only", 'l', OptionValue::none, OptionRole::not_plain_get},
    {"--local-port", 0, OptionValue::required, OptionRole::transport},
    {"--location", 'L', OptionValue::none, OptionRole::plain},
    {"--location-trusted", 0, OptionValue::none, OptionRole::plain},
    {"--login-options", 0, OptionValue::required, OptionRole::credentials},
    {"--mail-auth", 0, OptionValue::required, OptionRole::not_plain_get},
    {"--mail-from", 0, OptionValue::required, OptionRole::not_plain_get},
    {"--mail-rcpt", 0, OptionValue::required, OptionRole::not_plain_get},
    {"--mail-rcpt-allowfails", 0, OptionValue::none, OptionRole::plain},
    {"--manual", 'M', OptionValue::none, OptionRole::no_transfer},
    {"--max-filesize", 0, OptionValue::required, OptionRole::plain},
    {"--max-redirs", 0, OptionValue::required, OptionRole::plain},
    {"--max-time", 'm', OptionValue::required, OptionRole::plain},
    {"--metalink", 0, OptionValue::none, OptionRole::plain},
    {"--mptcp", 0, OptionValue::none, OptionRole::plain},
    {"--negotiate", 0, OptionValue::none, OptionRole::credentials},
    {"--netrc", 'n', OptionValue::none, OptionRole::credentials},
    {"--netrc-file", 0, OptionValue::required, OptionRole::credentials},
    {"--netrc-optional", 0, OptionValue::none, OptionRole::credentials},
    {"--next", ':', OptionValue::none, OptionRole::next},
    {"--no-alpn", 0, OptionValue::none, OptionRole::plain},
    {"--no-buffer", 'N', OptionValue::none, OptionRole::plain},
    {"--no-clobber", 0, OptionValue::none, OptionRole::plain},
    {"--no-keepalive", 0, OptionValue::none, OptionRole::plain},
    {"--no-npn", 0, OptionValue::none, OptionRole::plain},
    {"--no-progress-meter", 0, OptionValue::none, OptionRole::plain},
    {"--no-sessionid", 0, OptionValue::none, OptionRole::plain},
    {"--noproxy", 0, OptionValue::required, OptionRole::proxy},
    {"--ntlm", 0, OptionValue::none, OptionRole::credentials},
    {"--ntlm-wb", 0, OptionValue::none, OptionRole::credentials},
    {"--oauth2-bearer", 0, OptionValue::required, OptionRole::credentials},
    {"--out-null", 0, OptionValue::none, OptionRole::plain},
    {"--output", 'o', OptionValue::required, OptionRole::plain},
    {"--output-dir", 0, OptionValue::required, OptionRole::plain},
    {"--parallel", 'Z', OptionValue::none, OptionRole::plain},
    {"--parallel-immediate", 0, OptionValue::none, OptionRole::plain},
    {"--parallel-max", 0, OptionValue::required, OptionRole::plain},
    {"--parallel-max-host", 0, OptionValue::required, OptionRole::plain},
    {"--pass", 0, OptionValue::required, OptionRole::credentials},
    {"--path-as-is", 0, OptionValue::none, OptionRole::plain},
    {"--pinnedpubkey", 0, OptionValue::required, OptionRole::transport},
    {"--post301", 0, OptionValue::none, OptionRole::plain},
    {"--post302", 0, OptionValue::none, OptionRole::plain},
    {"--post303", 0, OptionValue::none, OptionRole::plain},
    {"--preproxy", 0, OptionValue::not_url, OptionRole::proxy},
    {"--progress-bar", '#', OptionValue::none, OptionRole::plain},
    {"--proto", 0, OptionValue::required, OptionRole::transport},
    {"--proto-default", 0, OptionValue::required, OptionRole::plain},
    {"--proto-redir", 0, OptionValue::required, OptionRole::plain},
    {"--proxy", 'x', OptionValue::not_url, OptionRole::proxy},
    {"--proxy-anyauth", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-basic", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-ca-native", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-cacert", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-capath", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-cert", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-cert-type", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-ciphers", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-crlfile", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-digest", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-header", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-http2", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-http3", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-insecure", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-key", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-key-type", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-negotiate", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-ntlm", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-pass", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-pinnedpubkey", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-service-name", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-ssl-allow-beast", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-ssl-auto-client-cert", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-tls13-ciphers", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-tlsauthtype", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-tlspassword", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-tlsuser", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-tlsv1", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-user", 'U', OptionValue::required, OptionRole::proxy},
    {"--proxy1.0", 0, OptionValue::not_url, OptionRole::proxy},
    {"--proxytunnel", 'p', OptionValue::none, OptionRole::proxy},
    {"--pubkey", 0, OptionValue::required, OptionRole::credentials},
    {"--quote", 'Q', OptionValue::required, OptionRole::not_plain_get},
    {"--random-file", 0, OptionValue::required, OptionRole::plain},
    {"--range", 'r', OptionValue::required, OptionRole::plain},
    {"--rate", 0, OptionValue::required, OptionRole::plain},
    {"--raw", 0, OptionValue::none, OptionRole::plain},
    {"--referer", 'e', OptionValue::not_url, OptionRole::plain},
    {"--remote-header-name", 'J', OptionValue::none, OptionRole::file_name},
    {"--remote-name", 'O', OptionValue::none, OptionRole::remote_name},
    {"--remote-name-all", 0, OptionValue::none, OptionRole::remote_name},
    {"--remote-time", 'R', OptionValue::none, OptionRole::plain},
    {"--remove-on-error", 0, OptionValue::none, OptionRole::plain},
    {"--request", 'X', OptionValue::required, OptionRole::request},
    {"--request-target", 0, OptionValue::required, OptionRole::not_plain_get},
    {"--resolve", 0, OptionValue::required, OptionRole::transport},
    {"--retry", 0, OptionValue::required, OptionRole::plain},
    {"--retry-all-errors", 0, OptionValue::none, OptionRole::plain},
    {"--retry-connrefused", 0, OptionValue::none, OptionRole::plain},
    {"--retry-delay", 0, OptionValue::required, OptionRole::plain},
    {"--retry-max-time", 0, OptionValue::required, OptionRole::plain},
    {"--sasl-authzid", 0, OptionValue::required, OptionRole::credentials},
    {"--sasl-ir", 0, OptionValue::none, OptionRole::plain},
    {"--service-name", 0, OptionValue::required, OptionRole::credentials},
    {"--show-error", 'S', OptionValue::none, OptionRole::plain},
    {"--show-headers", 'i', OptionValue::none, OptionRole::reports_source},
    {"--sigalgs", 0, OptionValue::required, OptionRole::transport},
    {"--silent", 's', OptionValue::none, OptionRole::plain},
    {"--skip-existing", 0, OptionValue::none, OptionRole::plain},
    {"--socks4", 0, OptionValue::not_url, OptionRole::proxy},
    {"--socks4a", 0, OptionValue::not_url, OptionRole::proxy},
    {"--socks5", 0, OptionValue::not_url, OptionRole::proxy},
    {"--socks5-basic", 0, OptionValue::none, OptionRole::proxy},
    {"--socks5-gssapi", 0, OptionValue::none, OptionRole::proxy},
    {"--socks5-gssapi-nec", 0, OptionValue::none, OptionRole::proxy},
    {"--socks5-gssapi-service", 0, OptionValue::required, OptionRole::proxy},
    {"--socks5-hostname", 0, OptionValue::not_url, OptionRole::proxy},
    {"--speed-limit", 'Y', OptionValue::required, OptionRole::plain},
    {"--speed-time", 'y', OptionValue::required, OptionRole::plain},
    {"--ssl", 0, OptionValue::none, OptionRole::plain},
    {"--ssl-allow-beast", 0, OptionValue::none, OptionRole::plain},
    {"--ssl-auto-client-cert", 0, OptionValue::none, OptionRole::plain},
    {"--ssl-no-revoke", 0, OptionValue::none, OptionRole::plain},
    {"--ssl-reqd", 0, OptionValue::none, OptionRole::transport},
    {"--ssl-revoke-best-effort", 0, OptionValue::none, OptionRole::plain},
    {"--ssl-sessions", 0, OptionValue::required, OptionRole::keeps_state},
    {"--sslv2", '2', OptionValue::none, OptionRole::plain},
    {"--sslv3", '3', OptionValue::none, OptionRole::plain},
    {"--stderr", 0, OptionValue::required, OptionRole::plain},
    {"--styled-output", 0, OptionValue::none, OptionRole::plain},
    {"--suppress-connect-headers", 0, OptionValue::none, OptionRole::plain},
    {"--tcp-fastopen", 0, OptionValue::none, OptionRole::plain},
    {"--tcp-nodelay", 0, OptionValue::none, OptionRole::plain},
    {"--telnet-option", 't', OptionValue::required, OptionRole::plain},
    {"--test-event", 0, OptionValue::none, OptionRole::plain},
    {"--tftp-blksize", 0, OptionValue::required, OptionRole::plain},
    {"--tftp-no-options", 0, OptionValue::none, OptionRole::plain},
    {"--time-cond", 'z', OptionValue::required, OptionRole::plain},
    {"--tls-earlydata", 0, OptionValue::none, OptionRole::plain},
    {"--tls-max", 0, OptionValue::required, OptionRole::transport},
    {"--tls13-ciphers", 0, OptionValue::required, OptionRole::transport},
    {"--tlsauthtype", 0, OptionValue::required, OptionRole::credentials},
    {"--tlspassword", 0, OptionValue::required, OptionRole::credentials},
    {"--tlsuser", 0, OptionValue::required, OptionRole::credentials},
    {"--tlsv1", '1', OptionValue::none, OptionRole::plain},
    {"--tlsv1.0", 0, OptionValue::none, OptionRole::plain},
    {"--tlsv1.1", 0, OptionValue::none, OptionRole::plain},
    {"--tlsv1.2", 0, OptionValue::none, OptionRole::plain},
    {"--tlsv1.3", 0, OptionValue::none, OptionRole::plain},
    {"--tr-encoding", 0, OptionValue::none, OptionRole::plain},
    {"--trace", 0, OptionValue::required, OptionRole::plain},
    {"--trace-ascii", 0, OptionValue::required, OptionRole::plain},
    {"--trace-config", 0, OptionValue::required, OptionRole::plain},
    {"--trace-ids", 0, OptionValue::none, OptionRole::plain},
    {"--trace-time", 0, OptionValue::none, OptionRole::plain},
    {"--unix-socket", 0, OptionValue::required, OptionRole::transport},
    {"--upload-file", 'T', OptionValue::required, OptionRole::sends_data},
    {"--upload-flags", 0, OptionValue::required, OptionRole::plain},
    {"--url", 0, OptionValue::required, OptionRole::url},
    {"--url-query", 0, OptionValue::required, OptionRole::sends_data},
    {"--use-ascii", 'B', OptionValue::none, OptionRole::not_plain_get},
    {"--user", 'u', OptionValue::required, OptionRole::credentials},
    {"--user-agent", 'A', OptionValue::required, OptionRole::plain},
    {"--variable", 0, OptionValue::required, OptionRole::variable},
    {"--verbose", 'v', OptionValue::none, OptionRole::plain},
    {"--version", 'V', OptionValue::none, OptionRole::no_transfer},
    {"--vlan-priority", 0, OptionValue::required, OptionRole::plain},
    {"--write-out", 'w', OptionValue::required, OptionRole::write_out},
    {"--xattr", 0, OptionValue::none, OptionRole::reports_source},
};

// The same for GNU wget 1.21 to 1.25. Its switches also have a "--no-" form; "--no-config" is a
// switch of its own, listed so that it is not read as "--config" negated.
constexpr OptionEntry kWgetEntries[] = {
    {"--accept", 'A', OptionValue::required, OptionRole::plain},
    {"--accept-regex", 0, OptionValue::required, OptionRole::plain},
    {"--adjust-extension", 'E', OptionValue::none, OptionRole::file_name},
    {"--append-output", 'a', OptionValue::required, OptionRole::plain},
    {"--ask-password", 0, OptionValue::none, OptionRole::credentials},
    {"--auth-no-challenge", 0, OptionValue::none, OptionRole::plain},
    {"--background", 'b', OptionValue::none, OptionRole::plain},
    {"--backup-converted", 'K', OptionValue::none, OptionRole::file_name},
    {"--backups", 0, OptionValue::required, OptionRole::plain},
    {"--base", 'B', OptionValue::not_url, OptionRole::plain},
    {"--bind-address", 0, OptionValue::required, OptionRole::transport},
    {"--bind-dns-address", 0, OptionValue::required, OptionRole::transport},
    {"--body-data", 0, OptionValue::required, OptionRole::sends_data},
    {"--body-file", 0, OptionValue::required, OptionRole::sends_data},
    {"--ca-certificate", 0, OptionValue::required, OptionRole::transport},
    {"--ca-directory", 0, OptionValue::required, OptionRole::transport},
    {"--certificate", 0, OptionValue::required, OptionRole::credentials},
    {"--certificate-type", 0, OptionValue::required, OptionRole::plain},
    {"--ciphers", 0, OptionValue::required, OptionRole::transport},
    {"--compression", 0, OptionValue::required, OptionRole::plain},
    {"--config", 0, OptionValue::required, OptionRole::config},
    {"--connect-timeout", 0, OptionValue::required, OptionRole::plain},
    {"--content-disposition", 0, OptionValue::none, OptionRole::file_name},
    {"--content-on-error", 0, OptionValue::none, OptionRole::plain},
    {"--continue", 'c', OptionValue::none, OptionRole::plain},
    {"--convert-file-only", 0, OptionValue::none, OptionRole::plain},
    {"--convert-links", 'k', OptionValue::none, OptionRole::file_name},
    {"--crl-file", 0, OptionValue::required, OptionRole::transport},
    {"--cut-dirs", 0, OptionValue::required, OptionRole::plain},
    {"--debug", 'd', OptionValue::none, OptionRole::plain},
    {"--default-page", 0, OptionValue::required, OptionRole::plain},
    {"--delete-after", 0, OptionValue::none, OptionRole::plain},
    {"--directory-prefix", 'P', OptionValue::required, OptionRole::plain},
    {"--dns-servers", 0, OptionValue::required, OptionRole::transport},
    {"--dns-timeout", 0, OptionValue::required, OptionRole::plain},
    {"--domains", 'D', OptionValue::required, OptionRole::plain},
    {"--dot-style", 0, OptionValue::required, OptionRole::plain},
    {"--egd-file", 0, OptionValue::required, OptionRole::plain},
    {"--exclude-directories", 'X', OptionValue::required, OptionRole::plain},
    {"--exclude-domains", 0, OptionValue::required, OptionRole::plain},
    {"--execute", 'e', OptionValue::not_url, OptionRole::execute},
    {"--follow-ftp", 0, OptionValue::none, OptionRole::plain},
    {"--follow-tags", 0, OptionValue::required, OptionRole::plain},
    {"--force-directories", 'x', OptionValue::none, OptionRole::file_name},
    {"--force-html", 'F', OptionValue::none, OptionRole::file_name},
    {"--ftp-password", 0, OptionValue::required, OptionRole::credentials},
    {"--ftp-user", 0, OptionValue::required, OptionRole::credentials},
    {"--ftps-clear-data-connection", 0, OptionValue::none, OptionRole::plain},
    {"--ftps-fallback-to-ftp", 0, OptionValue::none, OptionRole::plain},
    {"--ftps-implicit", 0, OptionValue::none, OptionRole::plain},
    {"--ftps-resume-ssl", 0, OptionValue::none, OptionRole::plain},
    {"--header", 0, OptionValue::required, OptionRole::header},
    {"--help", 'h', OptionValue::none, OptionRole::no_transfer},
    {"--hsts", 0, OptionValue::none, OptionRole::plain},
    {"--hsts-file", 0, OptionValue::none, OptionRole::plain},
    {"--html-extension", 'E', OptionValue::none, OptionRole::file_name},
    {"--http-passwd", 0, OptionValue::required, OptionRole::credentials},
    {"--http-password", 0, OptionValue::required, OptionRole::credentials},
    {"--http-user", 0, OptionValue::required, OptionRole::credentials},
    {"--https-only", 0, OptionValue::none, OptionRole::transport},
    {"--ignore-case", 0, OptionValue::none, OptionRole::plain},
    {"--ignore-length", 0, OptionValue::none, OptionRole::plain},
    {"--ignore-tags", 0, OptionValue::required, OptionRole::plain},
    {"--include-directories", 'I', OptionValue::required, OptionRole::plain},
    {"--inet4-only", '4', OptionValue::none, OptionRole::transport},
    {"--inet6-only", '6', OptionValue::none, OptionRole::transport},
    {"--input-file", 'i', OptionValue::required, OptionRole::plain},
    {"--keep-session-cookies", 0, OptionValue::none, OptionRole::plain},
    {"--level", 'l', OptionValue::required, OptionRole::plain},
    {"--limit-rate", 0, OptionValue::required, OptionRole::plain},
    {"--load-cookies", 0, OptionValue::required, OptionRole::credentials},
    {"--local-encoding", 0, OptionValue::required, OptionRole::plain},
    {"--max-redirect", 0, OptionValue::none, OptionRole::plain},
    {"--method", 0, OptionValue::required, OptionRole::not_plain_get},
    {"--mirror", 'm', OptionValue::none, OptionRole::file_name},
    {"--netrc", 0, OptionValue::none, OptionRole::plain},  // so that "--no-netrc" is its negation
    {"--no", 'n', OptionValue::required, OptionRole::plain},
    {"--no-cache", 0, OptionValue::none, OptionRole::plain},
    {"--no-check-certificate", 0, OptionValue::none, OptionRole::plain},
    {"--no-clobber", 0, OptionValue::none, OptionRole::plain},
    {"--no-config", 0, OptionValue::none, OptionRole::plain},
    {"--no-cookies", 0, OptionValue::none, OptionRole::plain},
    {"--no-directories", 0, OptionValue::none, OptionRole::plain},
    {"--no-dns-cache", 0, OptionValue::none, OptionRole::plain},
    {"--no-glob", 0, OptionValue::none, OptionRole::plain},
    {"--no-host-directories", 0, OptionValue::none, OptionRole::plain},
    {"--no-hsts", 0, OptionValue::none, OptionRole::plain},
    {"--no-http-keep-alive", 0, OptionValue::none, OptionRole::plain},
    {"--no-if-modified-since", 0, OptionValue::none, OptionRole::plain},
    {"--no-iri", 0, OptionValue::none, OptionRole::plain},
    {"--no-parent", 0, OptionValue::none, OptionRole::plain},
    {"--no-passive-ftp", 0, OptionValue::none, OptionRole::plain},
    {"--no-proxy", 0, OptionValue::none, OptionRole::proxy},
    {"--no-remove-listing", 0, OptionValue::none, OptionRole::plain},
    {"--no-use-server-timestamps", 0, OptionValue::none, OptionRole::plain},
    {"--no-verbose", 0, OptionValue::none, OptionRole::plain},
    {"--no-warc-compression", 0, OptionValue::none, OptionRole::plain},
    {"--no-warc-digests", 0, OptionValue::none, OptionRole::plain},
    {"--no-warc-keep-log", 0, OptionValue::none, OptionRole::plain},
    {"--output-document", 'O', OptionValue::required, OptionRole::output_document},
    {"--output-file", 'o', OptionValue::required, OptionRole::plain},
    {"--page-requisites", 'p', OptionValue::none, OptionRole::file_name},
    {"--password", 0, OptionValue::required, OptionRole::credentials},
    {"--pinnedpubkey", 0, OptionValue::required, OptionRole::transport},
    {"--post-data", 0, OptionValue::required, OptionRole::sends_data},
    {"--post-file", 0, OptionValue::required, OptionRole::sends_data},
    {"--prefer-family", 0, OptionValue::required, OptionRole::plain},
    {"--preserve-permissions", 0, OptionValue::none, OptionRole::plain},
    {"--private-key", 0, OptionValue::required, OptionRole::credentials},
    {"--private-key-type", 0, OptionValue::required, OptionRole::plain},
    {"--progress", 0, OptionValue::required, OptionRole::plain},
    {"--protocol-directories", 0, OptionValue::none, OptionRole::plain},
    {"--proxy", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-passwd", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-password", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-user", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy__compat", 'Y', OptionValue::required, OptionRole::proxy},
    {"--quiet", 'q', OptionValue::none, OptionRole::plain},
    {"--quota", 'Q', OptionValue::required, OptionRole::plain},
    {"--random-file", 0, OptionValue::required, OptionRole::plain},
    {"--random-wait", 0, OptionValue::none, OptionRole::plain},
    {"--read-timeout", 0, OptionValue::required, OptionRole::plain},
    {"--recursive", 'r', OptionValue::none, OptionRole::file_name},
    {"--referer", 0, OptionValue::not_url, OptionRole::plain},
    {"--regex-type", 0, OptionValue::required, OptionRole::plain},
    {"--reject", 'R', OptionValue::required, OptionRole::plain},
    {"--reject-regex", 0, OptionValue::required, OptionRole::plain},
    {"--rejected-log", 0, OptionValue::required, OptionRole::plain},
    {"--relative", 'L', OptionValue::none, OptionRole::plain},
    {"--remote-encoding", 0, OptionValue::required, OptionRole::plain},
    {"--report-speed", 0, OptionValue::required, OptionRole::plain},
    {"--restrict-file-names", 0, OptionValue::required, OptionRole::plain},
    {"--retr-symlinks", 0, OptionValue::none, OptionRole::plain},
    {"--retry-connrefused", 0, OptionValue::none, OptionRole::plain},
    {"--retry-on-host-error", 0, OptionValue::none, OptionRole::plain},
    {"--retry-on-http-error", 0, OptionValue::required, OptionRole::plain},
    {"--save-cookies", 0, OptionValue::required, OptionRole::keeps_state},
    {"--save-headers", 0, OptionValue::none, OptionRole::reports_source},
    {"--secure-protocol", 0, OptionValue::required, OptionRole::transport},
    {"--server-response", 'S', OptionValue::none, OptionRole::plain},
    {"--show-progress", 0, OptionValue::none, OptionRole::plain},
    {"--span-hosts", 'H', OptionValue::none, OptionRole::plain},
    {"--spider", 0, OptionValue::none, OptionRole::not_plain_get},
    {"--start-pos", 0, OptionValue::required, OptionRole::plain},
    {"--strict-comments", 0, OptionValue::none, OptionRole::plain},
    {"--timeout", 'T', OptionValue::required, OptionRole::plain},
    {"--timestamping", 'N', OptionValue::none, OptionRole::plain},
    {"--tries", 't', OptionValue::required, OptionRole::plain},
    {"--trust-server-names", 0, OptionValue::none, OptionRole::file_name},
    {"--unlink", 0, OptionValue::none, OptionRole::plain},
    {"--use-askpass", 0, OptionValue::required, OptionRole::credentials},
    {"--user", 0, OptionValue::required, OptionRole::credentials},
    {"--user-agent", 'U', OptionValue::required, OptionRole::plain},
    {"--verbose", 'v', OptionValue::none, OptionRole::plain},
    {"--version", 'V', OptionValue::none, OptionRole::no_transfer},
    {"--wait", 'w', OptionValue::required, OptionRole::plain},
    {"--waitretry", 0, OptionValue::required, OptionRole::plain},
    {"--warc-cdx", 0, OptionValue::none, OptionRole::plain},
    {"--warc-dedup", 0, OptionValue::required, OptionRole::plain},
    {"--warc-file", 0, OptionValue::required, OptionRole::reports_source},
    {"--warc-header", 0, OptionValue::required, OptionRole::plain},
    {"--warc-max-size", 0, OptionValue::required, OptionRole::plain},
    {"--warc-tempdir", 0, OptionValue::required, OptionRole::plain},
    {"--xattr", 0, OptionValue::none, OptionRole::reports_source},
};

// wget2 1.99 to 2.2. Every boolean has a "--no-" form; those that switch off something that gates
// are listed, so that they are not read as the gating option itself.
constexpr OptionEntry kWget2Entries[] = {
    {"", 'n', OptionValue::required, OptionRole::plain},
    {"--accept", 'A', OptionValue::required, OptionRole::plain},
    {"--accept-regex", 0, OptionValue::required, OptionRole::plain},
    {"--adjust-extension", 'E', OptionValue::none, OptionRole::file_name},
    {"--append-output", 'a', OptionValue::required, OptionRole::plain},
    {"--ask-password", 0, OptionValue::none, OptionRole::credentials},
    {"--auth-no-challenge", 0, OptionValue::none, OptionRole::plain},
    {"--background", 'b', OptionValue::none, OptionRole::plain},
    {"--backup-converted", 'K', OptionValue::none, OptionRole::file_name},
    {"--backups", 0, OptionValue::required, OptionRole::plain},
    {"--base", 'B', OptionValue::not_url, OptionRole::plain},
    {"--bind-address", 0, OptionValue::required, OptionRole::transport},
    {"--bind-interface", 0, OptionValue::required, OptionRole::transport},
    {"--body-data", 0, OptionValue::required, OptionRole::sends_data},
    {"--body-file", 0, OptionValue::required, OptionRole::sends_data},
    {"--ca-certificate", 0, OptionValue::required, OptionRole::transport},
    {"--ca-directory", 0, OptionValue::required, OptionRole::transport},
    {"--cache", 0, OptionValue::none, OptionRole::plain},
    {"--certificate", 0, OptionValue::required, OptionRole::credentials},
    {"--certificate-type", 0, OptionValue::required, OptionRole::plain},
    {"--check-certificate", 0, OptionValue::none, OptionRole::plain},
    {"--check-hostname", 0, OptionValue::none, OptionRole::plain},
    {"--chunk-size", 0, OptionValue::required, OptionRole::not_plain_get},
    {"--clobber", 0, OptionValue::none, OptionRole::plain},
    {"--compression", 0, OptionValue::none, OptionRole::plain},
    {"--config", 0, OptionValue::required, OptionRole::config},
    {"--connect-timeout", 0, OptionValue::required, OptionRole::plain},
    {"--content-disposition", 0, OptionValue::none, OptionRole::file_name},
    {"--content-on-error", 0, OptionValue::none, OptionRole::plain},
    {"--continue", 'c', OptionValue::none, OptionRole::plain},
    {"--convert-file-only", 0, OptionValue::none, OptionRole::plain},
    {"--convert-links", 'k', OptionValue::none, OptionRole::file_name},
    {"--cookie-suffixes", 0, OptionValue::required, OptionRole::plain},
    {"--cookies", 0, OptionValue::none, OptionRole::plain},
    {"--crl-file", 0, OptionValue::required, OptionRole::transport},
    {"--cut-dirs", 0, OptionValue::required, OptionRole::plain},
    {"--cut-file-get-vars", 0, OptionValue::none, OptionRole::file_name},
    {"--cut-url-get-vars", 0, OptionValue::none, OptionRole::file_name},
    {"--dane", 0, OptionValue::none, OptionRole::transport},
    {"--debug", 'd', OptionValue::none, OptionRole::plain},
    {"--default-http-port", 0, OptionValue::required, OptionRole::transport},
    {"--default-https-port", 0, OptionValue::required, OptionRole::transport},
    {"--default-page", 0, OptionValue::required, OptionRole::plain},
    {"--delete-after", 0, OptionValue::none, OptionRole::plain},
    {"--directories", 0, OptionValue::none, OptionRole::plain},
    {"--directory-prefix", 'P', OptionValue::required, OptionRole::plain},
    {"--dns-cache", 0, OptionValue::none, OptionRole::plain},
    {"--dns-cache-preload", 0, OptionValue::required, OptionRole::transport},
    {"--dns-caching", 0, OptionValue::none, OptionRole::plain},
    {"--dns-timeout", 0, OptionValue::required, OptionRole::plain},
    {"--domains", 'D', OptionValue::required, OptionRole::plain},
    {"--download-attr", 0, OptionValue::none, OptionRole::file_name},
    {"--egd-file", 0, OptionValue::required, OptionRole::plain},
    {"--exclude-directories", 'X', OptionValue::required, OptionRole::plain},
    {"--exclude-domains", 0, OptionValue::required, OptionRole::plain},
    {"--execute", 'e', OptionValue::not_url, OptionRole::execute},
    {"--filter-mime-type", 0, OptionValue::required, OptionRole::plain},
    {"--filter-urls", 0, OptionValue::none, OptionRole::plain},
    {"--follow-sitemaps", 0, OptionValue::none, OptionRole::file_name},
    {"--follow-tags", 0, OptionValue::required, OptionRole::plain},
    {"--force-atom", 0, OptionValue::none, OptionRole::file_name},
    {"--force-css", 0, OptionValue::none, OptionRole::file_name},
    {"--force-directories", 'x', OptionValue::none, OptionRole::file_name},
    {"--force-html", 'F', OptionValue::none, OptionRole::file_name},
    {"--force-metalink", 0, OptionValue::none, OptionRole::file_name},
    {"--force-progress", 0, OptionValue::none, OptionRole::plain},
    {"--force-rss", 0, OptionValue::none, OptionRole::file_name},
    {"--force-sitemap", 0, OptionValue::none, OptionRole::file_name},
    {"--fsync-policy", 0, OptionValue::none, OptionRole::plain},
    {"--gnupg-homedir", 0, OptionValue::none, OptionRole::not_plain_get},
    {"--gnutls-options", 0, OptionValue::required, OptionRole::transport},
    {"--header", 0, OptionValue::required, OptionRole::header},
    {"--help", 'h', OptionValue::none, OptionRole::no_transfer},
    {"--host-directories", 0, OptionValue::none, OptionRole::plain},
    {"--hpkp", 0, OptionValue::none, OptionRole::plain},
    {"--hpkp-file", 0, OptionValue::required, OptionRole::keeps_state},
    {"--hsts", 0, OptionValue::none, OptionRole::plain},
    {"--hsts-file", 0, OptionValue::required, OptionRole::keeps_state},
    {"--hsts-preload", 0, OptionValue::none, OptionRole::plain},
    {"--hsts-preload-file", 0, OptionValue::required, OptionRole::plain},
    {"--html-extension", 0, OptionValue::none, OptionRole::file_name},
    {"--http-keep-alive", 0, OptionValue::none, OptionRole::plain},
    {"--http-password", 0, OptionValue::required, OptionRole::credentials},
    {"--http-proxy", 0, OptionValue::not_url, OptionRole::proxy},
    {"--http-proxy-password", 0, OptionValue::required, OptionRole::proxy},
    {"--http-proxy-user", 0, OptionValue::required, OptionRole::proxy},
    {"--http-user", 0, OptionValue::required, OptionRole::credentials},
    {"--http2", 0, OptionValue::none, OptionRole::plain},
    {"--http2-only", 0, OptionValue::none, OptionRole::transport},
    {"--http2-request-window", 0, OptionValue::required, OptionRole::plain},
    {"--https-enforce", 0, OptionValue::required, OptionRole::plain},
    {"--https-only", 0, OptionValue::none, OptionRole::transport},
    {"--https-proxy", 0, OptionValue::not_url, OptionRole::proxy},
    {"--hyperlink", 0, OptionValue::none, OptionRole::plain},
    {"--if-modified-since", 0, OptionValue::none, OptionRole::plain},
    {"--ignore-case", 0, OptionValue::none, OptionRole::plain},
    {"--ignore-length", 0, OptionValue::none, OptionRole::plain},
    {"--ignore-tags", 0, OptionValue::required, OptionRole::plain},
    {"--include-directories", 'I', OptionValue::required, OptionRole::plain},
    {"--inet4-only", '4', OptionValue::none, OptionRole::transport},
    {"--inet6-only", '6', OptionValue::none, OptionRole::transport},
    {"--input-encoding", 0, OptionValue::required, OptionRole::plain},
    {"--input-file", 'i', OptionValue::required, OptionRole::plain},
    {"--iri", 0, OptionValue::none, OptionRole::plain},
    {"--keep-extension", 0, OptionValue::none, OptionRole::file_name},
    {"--keep-session-cookies", 0, OptionValue::none, OptionRole::plain},
    {"--level", 'l', OptionValue::required, OptionRole::plain},
    {"--limit-rate", 0, OptionValue::required, OptionRole::plain},
    {"--list-plugins", 0, OptionValue::none, OptionRole::plain},
    {"--load-cookies", 0, OptionValue::required, OptionRole::credentials},
    {"--local-db", 0, OptionValue::none, OptionRole::plain},
    {"--local-encoding", 0, OptionValue::required, OptionRole::plain},
    {"--local-plugin", 0, OptionValue::required, OptionRole::plain},
    {"--max-redirect", 0, OptionValue::required, OptionRole::plain},
    {"--max-threads", 0, OptionValue::required, OptionRole::plain},
    {"--metalink", 0, OptionValue::none, OptionRole::file_name},
    {"--method", 0, OptionValue::required, OptionRole::not_plain_get},
    {"--mirror", 'm', OptionValue::none, OptionRole::file_name},
    {"--netrc", 0, OptionValue::none, OptionRole::credentials},
    {"--netrc-file", 0, OptionValue::required, OptionRole::credentials},
    {"--no-config", 0, OptionValue::none, OptionRole::plain},
    {"--no-netrc", 0, OptionValue::none, OptionRole::plain},
    {"--no-quiet", 0, OptionValue::none, OptionRole::plain},
    {"--no-xattr", 0, OptionValue::none, OptionRole::plain},
    {"--ocsp", 0, OptionValue::none, OptionRole::plain},
    {"--ocsp-date", 0, OptionValue::none, OptionRole::plain},
    {"--ocsp-file", 0, OptionValue::required, OptionRole::keeps_state},
    {"--ocsp-nonce", 0, OptionValue::none, OptionRole::plain},
    {"--ocsp-server", 0, OptionValue::required, OptionRole::plain},
    {"--ocsp-stapling", 0, OptionValue::none, OptionRole::plain},
    {"--output-document", 'O', OptionValue::required, OptionRole::output_document},
    {"--output-file", 'o', OptionValue::required, OptionRole::plain},
    {"--page-requisites", 'p', OptionValue::none, OptionRole::file_name},
    {"--parent", 0, OptionValue::none, OptionRole::plain},
    {"--password", 0, OptionValue::required, OptionRole::credentials},
    {"--plugin", 0, OptionValue::required, OptionRole::plain},
    {"--plugin-dirs", 0, OptionValue::required, OptionRole::plain},
    {"--plugin-help", 0, OptionValue::none, OptionRole::plain},
    {"--plugin-opt", 0, OptionValue::required, OptionRole::plain},
    {"--post-data", 0, OptionValue::required, OptionRole::sends_data},
    {"--post-file", 0, OptionValue::required, OptionRole::sends_data},
    {"--prefer-family", 0, OptionValue::required, OptionRole::plain},
    {"--private-key", 0, OptionValue::required, OptionRole::credentials},
    {"--private-key-type", 0, OptionValue::required, OptionRole::plain},
    {"--progress", 0, OptionValue::required, OptionRole::plain},
    {"--protocol-directories", 0, OptionValue::none, OptionRole::plain},
    {"--proxy", 0, OptionValue::none, OptionRole::proxy},
    {"--quiet", 'q', OptionValue::none, OptionRole::plain},
    {"--quota", 'Q', OptionValue::required, OptionRole::plain},
    {"--random-file", 0, OptionValue::required, OptionRole::plain},
    {"--random-wait", 0, OptionValue::none, OptionRole::plain},
    {"--read-timeout", 0, OptionValue::required, OptionRole::plain},
    {"--recursive", 'r', OptionValue::none, OptionRole::file_name},
    {"--referer", 0, OptionValue::not_url, OptionRole::plain},
    {"--regex-type", 0, OptionValue::required, OptionRole::plain},
    {"--reject", 'R', OptionValue::required, OptionRole::plain},
    {"--reject-regex", 0, OptionValue::required, OptionRole::plain},
    {"--remote-encoding", 0, OptionValue::required, OptionRole::plain},
    {"--report-speed", 0, OptionValue::required, OptionRole::plain},
    {"--restrict-file-names", 0, OptionValue::required, OptionRole::plain},
    {"--retry-connrefused", 0, OptionValue::none, OptionRole::plain},
    {"--retry-on-http-error", 0, OptionValue::required, OptionRole::plain},
    {"--robots", 0, OptionValue::none, OptionRole::plain},
    {"--save-content-on", 0, OptionValue::required, OptionRole::file_name},
    {"--save-cookies", 0, OptionValue::required, OptionRole::keeps_state},
    {"--save-headers", 0, OptionValue::none, OptionRole::reports_source},
    {"--secure-protocol", 0, OptionValue::required, OptionRole::transport},
    {"--server-response", 'S', OptionValue::none, OptionRole::plain},
    {"--signature-extensions", 0, OptionValue::required, OptionRole::not_plain_get},
    {"--span-hosts", 'H', OptionValue::none, OptionRole::plain},
    {"--spider", 0, OptionValue::none, OptionRole::not_plain_get},
    {"--start-pos", 0, OptionValue::required, OptionRole::plain},
    {"--stats-all", 0, OptionValue::none, OptionRole::reports_source},
    {"--stats-dns", 0, OptionValue::required, OptionRole::reports_source},
    {"--stats-ocsp", 0, OptionValue::required, OptionRole::reports_source},
    {"--stats-server", 0, OptionValue::required, OptionRole::reports_source},
    {"--stats-site", 0, OptionValue::required, OptionRole::reports_source},
    {"--stats-tls", 0, OptionValue::required, OptionRole::reports_source},
    {"--strict-comments", 0, OptionValue::none, OptionRole::plain},
    {"--tcp-fastopen", 0, OptionValue::none, OptionRole::plain},
    {"--timeout", 'T', OptionValue::required, OptionRole::plain},
    {"--timestamping", 'N', OptionValue::none, OptionRole::plain},
    {"--tls-false-start", 0, OptionValue::none, OptionRole::plain},
    {"--tls-resume", 0, OptionValue::none, OptionRole::plain},
    {"--tls-session-file", 0, OptionValue::required, OptionRole::keeps_state},
    {"--tries", 't', OptionValue::required, OptionRole::plain},
    {"--trust-server-names", 0, OptionValue::none, OptionRole::file_name},
    {"--unlink", 0, OptionValue::none, OptionRole::plain},
    {"--use-askpass", 0, OptionValue::required, OptionRole::credentials},
    {"--use-server-timestamps", 0, OptionValue::none, OptionRole::plain},
    {"--user", 0, OptionValue::required, OptionRole::credentials},
    {"--user-agent", 'U', OptionValue::required, OptionRole::plain},
    {"--verbose", 'v', OptionValue::none, OptionRole::plain},
    {"--verify-save-failed", 0, OptionValue::none, OptionRole::not_plain_get},
    {"--verify-sig", 's', OptionValue::none, OptionRole::not_plain_get},
    {"--version", 'V', OptionValue::none, OptionRole::no_transfer},
    {"--wait", 'w', OptionValue::required, OptionRole::plain},
    {"--waitretry", 0, OptionValue::required, OptionRole::plain},
    {"--xattr", 0, OptionValue::none, OptionRole::reports_source},
};

// busybox wget 1.35 to 1.38, whose long options are abbreviated as with getopt_long.
constexpr OptionEntry kBusyboxWgetEntries[] = {
    {"", 'n', OptionValue::required, OptionRole::plain},  // "-nv", "-nc": a value of one letter
    {"--continue", 'c', OptionValue::none, OptionRole::plain},
    {"--directory-prefix", 'P', OptionValue::required, OptionRole::plain},
    {"--header", 0, OptionValue::required, OptionRole::header},
    {"--help", 0, OptionValue::none, OptionRole::no_transfer},
    {"--no-cache", 0, OptionValue::none, OptionRole::plain},
    {"--no-check-certificate", 0, OptionValue::none, OptionRole::plain},
    {"--no-clobber", 0, OptionValue::none, OptionRole::plain},
    {"--no-host-directories", 0, OptionValue::none, OptionRole::plain},
    {"--no-parent", 0, OptionValue::none, OptionRole::plain},
    {"--no-verbose", 0, OptionValue::none, OptionRole::plain},
    {"--output-document", 'O', OptionValue::required, OptionRole::output_document},
    {"--output-file", 'o', OptionValue::required, OptionRole::plain},
    {"--passive-ftp", 0, OptionValue::none, OptionRole::plain},
    {"--post-data", 0, OptionValue::required, OptionRole::sends_data},
    {"--post-file", 0, OptionValue::required, OptionRole::sends_data},
    {"--proxy", 'Y', OptionValue::required, OptionRole::proxy},
    {"--quiet", 'q', OptionValue::none, OptionRole::plain},
    {"--server-response", 'S', OptionValue::none, OptionRole::plain},
    {"--spider", 0, OptionValue::none, OptionRole::not_plain_get},
    {"--timeout", 'T', OptionValue::required, OptionRole::plain},
    {"--tries", 't', OptionValue::required, OptionRole::plain},
    {"--user-agent", 'U', OptionValue::required, OptionRole::plain},
};

// Letters without a name come first, in any order.
template <std::size_t N>
constexpr bool sortedByName(const OptionEntry (&entries)[N]) {
  for (std::size_t i = 1; i < N; ++i)
    if (!(entries[i - 1].name < entries[i].name) && !entries[i].name.empty()) return false;
  return true;
}

static_assert(sortedByName(kCurlEntries) && sortedByName(kWgetEntries) &&
              sortedByName(kWget2Entries) && sortedByName(kBusyboxWgetEntries));

constexpr std::size_t kTableCount = 4;
constexpr std::array<std::span<const OptionEntry>, kTableCount> kAllEntries = {
    kCurlEntries, kWgetEntries, kWget2Entries, kBusyboxWgetEntries};

constexpr std::size_t kEntryCount = [] {
  std::size_t count = 0;
  for (std::span<const OptionEntry> entries : kAllEntries)
    count += entries.size();
  return count;
}();

constexpr std::size_t kMostNameBytes = [] {
  std::size_t bytes = 0;
  for (std::span<const OptionEntry> entries : kAllEntries)
    for (const OptionEntry& entry : entries)
      bytes += entry.name.size();
  return bytes;
}();

// Every name once: an entry whose name an earlier table holds shares its bytes. The tables are
// sorted, so each earlier table is walked once alongside (few steps for a constant expression).
struct NamePool {
  std::array<char, kMostNameBytes> bytes{};
  std::array<std::uint16_t, kEntryCount> offsets{};  // of every entry, the tables in order
  std::size_t used = 0;
};

constexpr NamePool poolOfAllNames() {
  NamePool pool;
  std::size_t first = 0;  // the table's first entry among all entries
  for (std::size_t table = 0; table < kTableCount; ++table) {
    std::span<const OptionEntry> entries = kAllEntries[table];
    std::array<std::size_t, kTableCount> cursors{};
    for (std::size_t i = 0; i < entries.size(); ++i) {
      Bytes name = entries[i].name;
      std::size_t offset = name.empty() ? 0 : pool.used;
      std::size_t earlier_first = 0;
      for (std::size_t earlier = 0; earlier < table && offset == pool.used; ++earlier) {
        std::span<const OptionEntry> others = kAllEntries[earlier];
        std::size_t& cursor = cursors[earlier];
        while (cursor < others.size() && others[cursor].name < name)
          ++cursor;
        if (cursor < others.size() && others[cursor].name == name)
          offset = pool.offsets[earlier_first + cursor];
        earlier_first += others.size();
      }
      if (offset == pool.used)
        for (char byte : name)
          pool.bytes[pool.used++] = byte;
      pool.offsets[first + i] = static_cast<std::uint16_t>(offset);
    }
    first += entries.size();
  }
  return pool;
}

constexpr NamePool kPool = poolOfAllNames();
constexpr std::size_t kNameBytes = kPool.used;
static_assert(kNameBytes <= 0xffff, "offsets must fit the option entries");

constexpr std::array<char, kNameBytes> kOptionNames = [] {
  std::array<char, kNameBytes> names{};
  for (std::size_t i = 0; i < kNameBytes; ++i)
    names[i] = kPool.bytes[i];
  return names;
}();

// The position among all entries of the first entry of table `table`.
constexpr std::size_t firstEntryOf(std::size_t table) {
  std::size_t first = 0;
  for (std::size_t earlier = 0; earlier < table; ++earlier)
    first += kAllEntries[earlier].size();
  return first;
}

template <std::size_t N>
constexpr std::array<OptionSpec, N> packed(const OptionEntry (&entries)[N], std::size_t table) {
  std::size_t first = firstEntryOf(table);
  std::array<OptionSpec, N> options{};
  for (std::size_t i = 0; i < N; ++i) {
    const OptionEntry& entry = entries[i];
    options[i] = {kPool.offsets[first + i], static_cast<std::uint8_t>(entry.name.size()),
                  entry.letter, entry.value, entry.role};
  }
  return options;
}

constexpr std::array kCurlOptions = packed(kCurlEntries, 0);
constexpr std::array kWgetOptions = packed(kWgetEntries, 1);
constexpr std::array kWget2Options = packed(kWget2Entries, 2);
constexpr std::array kBusyboxWgetOptions = packed(kBusyboxWgetEntries, 3);

constexpr OptionTable kCurlTable = {kCurlOptions, true, true};
constexpr OptionTable kWgetTable = {kWgetOptions, false, false};
constexpr OptionTable kWget2Table = {kWget2Options, false, false};
constexpr OptionTable kBusyboxWgetTable = {kBusyboxWgetOptions, false, false};

char keyByte(Bytes key, std::size_t i, bool fold_case) {
  return fold_case ? asciiLower(key[i]) : key[i];
}

bool sortsBefore(Bytes name, Bytes key, bool fold_case) {
  std::size_t common = name.size() < key.size() ? name.size() : key.size();
  for (std::size_t i = 0; i < common; ++i) {
    char byte = keyByte(key, i, fold_case);
    if (name[i] != byte)
      return static_cast<unsigned char>(name[i]) < static_cast<unsigned char>(byte);
  }
  return name.size() < key.size();
}

bool beginsWith(Bytes name, Bytes key, bool fold_case) {
  if (name.size() < key.size()) return false;
  for (std::size_t i = 0; i < key.size(); ++i)
    if (name[i] != keyByte(key, i, fold_case)) return false;
  return true;
}

// The options whose long names begin with `prefix`: one run of the sorted table, exact name first.
std::span<const OptionSpec> spelledWith(const OptionTable& table, Bytes prefix) {
  std::span<const OptionSpec> options = table.options;
  std::size_t low = 0;
  std::size_t high = options.size();
  while (low < high) {
    std::size_t middle = low + (high - low) / 2;
    if (sortsBefore(options[middle].longName(), prefix, table.fold_case))
      low = middle + 1;
    else
      high = middle;
  }
  std::size_t end = low;
  while (end < options.size() && beginsWith(options[end].longName(), prefix, table.fold_case))
    ++end;
  return options.subspan(low, end - low);
}

bool isExactly(std::span<const OptionSpec> spelled, Bytes name) {
  return !spelled.empty() && spelled.front().longName().size() == name.size();
}

const OptionSpec* firstGating(std::span<const OptionSpec> options) {
  for (const OptionSpec& option : options)
    if (alwaysGates(option.role)) return &option;
  return nullptr;
}

}  // namespace

Bytes OptionSpec::name() const {
  return Bytes(kOptionNames.data() + name_offset, name_size);
}

const OptionTable& optionTableFor(ToolFamily family) {
  switch (family) {
    case ToolFamily::curl:
      break;
    case ToolFamily::gnu_wget:
      return kWgetTable;
    case ToolFamily::wget2:
      return kWget2Table;
    case ToolFamily::busybox:
      return kBusyboxWgetTable;
  }
  return kCurlTable;
}

const OptionTable& optionTableFor(Tool tool) {
  return optionTableFor(tool == Tool::wget ? ToolFamily::gnu_wget : ToolFamily::curl);
}

OptionMatch findLongOption(const OptionTable& table, Bytes name) {
  if (name.empty()) return {};
  std::span<const OptionSpec> spelled = spelledWith(table, name);
  if (isExactly(spelled, name)) return {&spelled.front(), false};
  constexpr Bytes kExpand = "expand-";
  if (table.expand_forms && name.size() > kExpand.size() && name.starts_with(kExpand)) {
    Bytes rest = bytesFrom(name, kExpand.size());
    std::span<const OptionSpec> expanded = spelledWith(table, rest);
    if (isExactly(expanded, rest) && expanded.front().takesValue())
      return {&expanded.front(), false, true};
  }
  constexpr Bytes kNo = "no-";
  std::span<const OptionSpec> negated;
  if (name.size() > kNo.size() && name.starts_with(kNo)) {
    Bytes rest = bytesFrom(name, kNo.size());
    negated = spelledWith(table, rest);
    if (isExactly(negated, rest)) return {&negated.front(), true};
  }
  // An abbreviation. When in doubt, gate: a wrong hand-over costs one download from the origin, a
  // wrong redirect can cost the caller's data.
  if (const OptionSpec* gating = firstGating(spelled)) return {gating, false};
  if (const OptionSpec* gating = firstGating(negated)) return {gating, true};
  if (spelled.size() == 1 && negated.empty()) return {&spelled.front(), false};
  if (negated.size() == 1 && spelled.empty()) return {&negated.front(), true};
  return {};
}

}  // namespace larderbox
