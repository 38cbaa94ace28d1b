#include "shim/tool_options.h"

#include "shim/tool_name.h"

namespace larderbox {
namespace {

// Sorted by name. Every option of curl 7.88 that takes a value is here, so that a value is never
// read as an option, and every option the shim acts on. A switch with no role is listed only when
// its name begins the name of another listed option: "--crlf" is not an abbreviation of the gated
// "--crlfile", and "--parallel" not one of "--parallel-max", which would take the next element.
constexpr OptionSpec kCurlOptions[] = {
    {"", '*', OptionValue::required, OptionRole::plain},  // takes a value, but has no name
    {"--abstract-unix-socket", 0, OptionValue::required, OptionRole::transport},
    {"--alt-svc", 0, OptionValue::required, OptionRole::keeps_state},
    {"--anyauth", 0, OptionValue::none, OptionRole::credentials},
    {"--aws-sigv4", 0, OptionValue::required, OptionRole::credentials},
    {"--cacert", 0, OptionValue::required, OptionRole::transport},
    {"--capath", 0, OptionValue::required, OptionRole::transport},
    {"--cert", 'E', OptionValue::required, OptionRole::credentials},
    {"--cert-status", 0, OptionValue::none, OptionRole::transport},
    {"--cert-type", 0, OptionValue::required, OptionRole::plain},
    {"--ciphers", 0, OptionValue::required, OptionRole::transport},
    {"--config", 'K', OptionValue::required, OptionRole::config},
    {"--connect-timeout", 0, OptionValue::required, OptionRole::plain},
    {"--connect-to", 0, OptionValue::required, OptionRole::transport},
    {"--continue-at", 'C', OptionValue::required, OptionRole::plain},
    {"--cookie", 'b', OptionValue::required, OptionRole::credentials},
    {"--cookie-jar", 'c', OptionValue::required, OptionRole::keeps_state},
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
    {"--dns-interface", 0, OptionValue::required, OptionRole::transport},
    {"--dns-ipv4-addr", 0, OptionValue::required, OptionRole::transport},
    {"--dns-ipv6-addr", 0, OptionValue::required, OptionRole::transport},
    {"--dns-servers", 0, OptionValue::required, OptionRole::transport},
    {"--doh-url", 0, OptionValue::not_url, OptionRole::transport},
    {"--dump-header", 'D', OptionValue::required, OptionRole::reports_source},
    {"--egd-file", 0, OptionValue::required, OptionRole::plain},
    {"--engine", 0, OptionValue::required, OptionRole::plain},
    {"--etag-compare", 0, OptionValue::required, OptionRole::keeps_state},
    {"--etag-save", 0, OptionValue::required, OptionRole::keeps_state},
    {"--expect100-timeout", 0, OptionValue::required, OptionRole::plain},
    {"--form", 'F', OptionValue::required, OptionRole::sends_data},
    {"--form-string", 0, OptionValue::required, OptionRole::sends_data},
    {"--ftp-account", 0, OptionValue::required, OptionRole::credentials},
    {"--ftp-alternative-to-user", 0, OptionValue::required, OptionRole::credentials},
    {"--ftp-method", 0, OptionValue::required, OptionRole::plain},
    {"--ftp-port", 'P', OptionValue::required, OptionRole::plain},
    {"--ftp-ssl", 0, OptionValue::none, OptionRole::plain},
    {"--ftp-ssl-ccc", 0, OptionValue::none, OptionRole::plain},
    {"--ftp-ssl-ccc-mode", 0, OptionValue::required, OptionRole::plain},
    {"--ftp-ssl-reqd", 0, OptionValue::none, OptionRole::transport},
    {"--globoff", 'g', OptionValue::none, OptionRole::globoff},
    {"--happy-eyeballs-timeout-ms", 0, OptionValue::required, OptionRole::plain},
    {"--haproxy-protocol", 0, OptionValue::none, OptionRole::transport},
    {"--head", 'I', OptionValue::none, OptionRole::not_plain_get},
    {"--header", 'H', OptionValue::required, OptionRole::header},
    {"--help", 'h', OptionValue::required, OptionRole::no_transfer},
    {"--hostpubmd5", 0, OptionValue::required, OptionRole::transport},
    {"--hostpubsha256", 0, OptionValue::required, OptionRole::transport},
    {"--hsts", 0, OptionValue::required, OptionRole::keeps_state},
    {"--http2", 0, OptionValue::none, OptionRole::plain},
    {"--http2-prior-knowledge", 0, OptionValue::none, OptionRole::transport},
    {"--http3", 0, OptionValue::none, OptionRole::plain},
    {"--http3-only", 0, OptionValue::none, OptionRole::transport},
    {"--include", 'i', OptionValue::none, OptionRole::reports_source},
    {"--interface", 0, OptionValue::required, OptionRole::transport},
    {"--ipv4", '4', OptionValue::none, OptionRole::transport},
    {"--ipv6", '6', OptionValue::none, OptionRole::transport},
    {"--json", 0, OptionValue::required, OptionRole::sends_data},
    {"--keepalive-time", 0, OptionValue::required, OptionRole::plain},
    {"--key", 0, OptionValue::required, OptionRole::credentials},
    {"--key-type", 0, OptionValue::required, OptionRole::plain},
    {"--krb", 0, OptionValue::required, OptionRole::credentials},
    {"--krb4", 0, OptionValue::required, OptionRole::credentials},
    {"--libcurl", 0, OptionValue::required, OptionRole::reports_source},
    {"--limit-rate", 0, OptionValue::required, OptionRole::plain},
    {"--list-only", 'l', OptionValue::none, OptionRole::not_plain_get},
    {"--local-port", 0, OptionValue::required, OptionRole::transport},
    {"--login-options", 0, OptionValue::required, OptionRole::credentials},
    {"--mail-auth", 0, OptionValue::required, OptionRole::not_plain_get},
    {"--mail-from", 0, OptionValue::required, OptionRole::not_plain_get},
    {"--mail-rcpt", 0, OptionValue::required, OptionRole::not_plain_get},
    {"--manual", 'M', OptionValue::none, OptionRole::no_transfer},
    {"--max-filesize", 0, OptionValue::required, OptionRole::plain},
    {"--max-redirs", 0, OptionValue::required, OptionRole::plain},
    {"--max-time", 'm', OptionValue::required, OptionRole::plain},
    {"--negotiate", 0, OptionValue::none, OptionRole::credentials},
    {"--netrc", 'n', OptionValue::none, OptionRole::credentials},
    {"--netrc-file", 0, OptionValue::required, OptionRole::credentials},
    {"--netrc-optional", 0, OptionValue::none, OptionRole::credentials},
    {"--next", ':', OptionValue::none, OptionRole::next},
    {"--noproxy", 0, OptionValue::required, OptionRole::proxy},
    {"--ntlm", 0, OptionValue::none, OptionRole::credentials},
    {"--ntlm-wb", 0, OptionValue::none, OptionRole::credentials},
    {"--oauth2-bearer", 0, OptionValue::required, OptionRole::credentials},
    {"--output", 'o', OptionValue::required, OptionRole::plain},
    {"--output-dir", 0, OptionValue::required, OptionRole::plain},
    {"--parallel", 'Z', OptionValue::none, OptionRole::plain},
    {"--parallel-max", 0, OptionValue::required, OptionRole::plain},
    {"--pass", 0, OptionValue::required, OptionRole::credentials},
    {"--pinnedpubkey", 0, OptionValue::required, OptionRole::transport},
    {"--preproxy", 0, OptionValue::not_url, OptionRole::proxy},
    {"--proto", 0, OptionValue::required, OptionRole::transport},
    {"--proto-default", 0, OptionValue::required, OptionRole::plain},
    {"--proto-redir", 0, OptionValue::required, OptionRole::plain},
    {"--proxy", 'x', OptionValue::not_url, OptionRole::proxy},
    {"--proxy-cacert", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-capath", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-cert", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-cert-type", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-ciphers", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-crlfile", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-header", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-key", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-key-type", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-pass", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-pinnedpubkey", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-service-name", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-tls13-ciphers", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-tlsauthtype", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-tlspassword", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-tlsuser", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-user", 'U', OptionValue::required, OptionRole::proxy},
    {"--proxy1.0", 0, OptionValue::not_url, OptionRole::proxy},
    {"--pubkey", 0, OptionValue::required, OptionRole::credentials},
    {"--quote", 'Q', OptionValue::required, OptionRole::not_plain_get},
    {"--random-file", 0, OptionValue::required, OptionRole::plain},
    {"--range", 'r', OptionValue::required, OptionRole::plain},
    {"--rate", 0, OptionValue::required, OptionRole::plain},
    {"--referer", 'e', OptionValue::not_url, OptionRole::plain},
    {"--remote-header-name", 'J', OptionValue::none, OptionRole::file_name},
    {"--remote-name", 'O', OptionValue::none, OptionRole::remote_name},
    {"--remote-name-all", 0, OptionValue::none, OptionRole::remote_name},
    {"--request", 'X', OptionValue::required, OptionRole::request},
    {"--request-target", 0, OptionValue::required, OptionRole::not_plain_get},
    {"--resolve", 0, OptionValue::required, OptionRole::transport},
    {"--retry", 0, OptionValue::required, OptionRole::plain},
    {"--retry-delay", 0, OptionValue::required, OptionRole::plain},
    {"--retry-max-time", 0, OptionValue::required, OptionRole::plain},
    {"--sasl-authzid", 0, OptionValue::required, OptionRole::credentials},
    {"--service-name", 0, OptionValue::required, OptionRole::credentials},
    {"--socks4", 0, OptionValue::not_url, OptionRole::proxy},
    {"--socks4a", 0, OptionValue::not_url, OptionRole::proxy},
    {"--socks5", 0, OptionValue::not_url, OptionRole::proxy},
    {"--socks5-gssapi", 0, OptionValue::none, OptionRole::proxy},
    {"--socks5-gssapi-service", 0, OptionValue::required, OptionRole::proxy},
    {"--socks5-hostname", 0, OptionValue::not_url, OptionRole::proxy},
    {"--speed-limit", 'Y', OptionValue::required, OptionRole::plain},
    {"--speed-time", 'y', OptionValue::required, OptionRole::plain},
    {"--ssl", 0, OptionValue::none, OptionRole::plain},
    {"--ssl-reqd", 0, OptionValue::none, OptionRole::transport},
    {"--stderr", 0, OptionValue::required, OptionRole::plain},
    {"--telnet-option", 't', OptionValue::required, OptionRole::plain},
    {"--tftp-blksize", 0, OptionValue::required, OptionRole::plain},
    {"--time-cond", 'z', OptionValue::required, OptionRole::plain},
    {"--tls-max", 0, OptionValue::required, OptionRole::transport},
    {"--tls13-ciphers", 0, OptionValue::required, OptionRole::transport},
    {"--tlsauthtype", 0, OptionValue::required, OptionRole::credentials},
    {"--tlspassword", 0, OptionValue::required, OptionRole::credentials},
    {"--tlsuser", 0, OptionValue::required, OptionRole::credentials},
    {"--trace", 0, OptionValue::required, OptionRole::plain},
    {"--trace-ascii", 0, OptionValue::required, OptionRole::plain},
    {"--unix-socket", 0, OptionValue::required, OptionRole::transport},
    {"--upload-file", 'T', OptionValue::required, OptionRole::sends_data},
    {"--url", 0, OptionValue::required, OptionRole::url},
    {"--url-query", 0, OptionValue::required, OptionRole::sends_data},
    {"--use-ascii", 'B', OptionValue::none, OptionRole::not_plain_get},
    {"--user", 'u', OptionValue::required, OptionRole::credentials},
    {"--user-agent", 'A', OptionValue::required, OptionRole::plain},
    {"--version", 'V', OptionValue::none, OptionRole::no_transfer},
    {"--write-out", 'w', OptionValue::required, OptionRole::write_out},
    {"--xattr", 0, OptionValue::none, OptionRole::reports_source},
};

// The same for wget 1.21. Its switches also have a "--no-" form; "--no-config" is a switch of its
// own, listed so that it is not read as "--config" negated.
constexpr OptionSpec kWgetOptions[] = {
    {"--accept", 'A', OptionValue::required, OptionRole::plain},
    {"--accept-regex", 0, OptionValue::required, OptionRole::plain},
    {"--adjust-extension", 'E', OptionValue::none, OptionRole::file_name},
    {"--append-output", 'a', OptionValue::required, OptionRole::plain},
    {"--ask-password", 0, OptionValue::none, OptionRole::credentials},
    {"--backup-converted", 'K', OptionValue::none, OptionRole::file_name},
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
    {"--convert-links", 'k', OptionValue::none, OptionRole::file_name},
    {"--crl-file", 0, OptionValue::required, OptionRole::transport},
    {"--cut-dirs", 0, OptionValue::required, OptionRole::plain},
    {"--default-page", 0, OptionValue::required, OptionRole::plain},
    {"--directory-prefix", 'P', OptionValue::required, OptionRole::plain},
    {"--dns-servers", 0, OptionValue::required, OptionRole::transport},
    {"--dns-timeout", 0, OptionValue::required, OptionRole::plain},
    {"--domains", 'D', OptionValue::required, OptionRole::plain},
    {"--dot-style", 0, OptionValue::required, OptionRole::plain},
    {"--egd-file", 0, OptionValue::required, OptionRole::plain},
    {"--exclude-directories", 'X', OptionValue::required, OptionRole::plain},
    {"--exclude-domains", 0, OptionValue::required, OptionRole::plain},
    {"--execute", 'e', OptionValue::not_url, OptionRole::execute},
    {"--follow-tags", 0, OptionValue::required, OptionRole::plain},
    {"--force-directories", 'x', OptionValue::none, OptionRole::file_name},
    {"--force-html", 'F', OptionValue::none, OptionRole::file_name},
    {"--ftp-password", 0, OptionValue::required, OptionRole::credentials},
    {"--ftp-user", 0, OptionValue::required, OptionRole::credentials},
    {"--header", 0, OptionValue::required, OptionRole::header},
    {"--help", 'h', OptionValue::none, OptionRole::no_transfer},
    {"--hsts", 0, OptionValue::none, OptionRole::plain},
    {"--hsts-file", 0, OptionValue::required, OptionRole::plain},
    {"--html-extension", 'E', OptionValue::none, OptionRole::file_name},
    {"--http-passwd", 0, OptionValue::required, OptionRole::credentials},
    {"--http-password", 0, OptionValue::required, OptionRole::credentials},
    {"--http-user", 0, OptionValue::required, OptionRole::credentials},
    {"--https-only", 0, OptionValue::none, OptionRole::transport},
    {"--ignore-tags", 0, OptionValue::required, OptionRole::plain},
    {"--include-directories", 'I', OptionValue::required, OptionRole::plain},
    {"--inet4-only", '4', OptionValue::none, OptionRole::transport},
    {"--inet6-only", '6', OptionValue::none, OptionRole::transport},
    {"--input-file", 'i', OptionValue::required, OptionRole::plain},
    {"--level", 'l', OptionValue::required, OptionRole::plain},
    {"--limit-rate", 0, OptionValue::required, OptionRole::plain},
    {"--load-cookies", 0, OptionValue::required, OptionRole::credentials},
    {"--local-encoding", 0, OptionValue::required, OptionRole::plain},
    {"--max-redirect", 0, OptionValue::required, OptionRole::plain},
    {"--method", 0, OptionValue::required, OptionRole::not_plain_get},
    {"--mirror", 'm', OptionValue::none, OptionRole::file_name},
    {"--netrc", 0, OptionValue::none, OptionRole::plain},
    {"--no", 'n', OptionValue::required, OptionRole::plain},
    {"--no-config", 0, OptionValue::none, OptionRole::plain},
    {"--output-document", 'O', OptionValue::required, OptionRole::output_document},
    {"--output-file", 'o', OptionValue::required, OptionRole::plain},
    {"--page-requisites", 'p', OptionValue::none, OptionRole::file_name},
    {"--password", 0, OptionValue::required, OptionRole::credentials},
    {"--pinnedpubkey", 0, OptionValue::required, OptionRole::transport},
    {"--post-data", 0, OptionValue::required, OptionRole::sends_data},
    {"--post-file", 0, OptionValue::required, OptionRole::sends_data},
    {"--prefer-family", 0, OptionValue::required, OptionRole::plain},
    {"--private-key", 0, OptionValue::required, OptionRole::credentials},
    {"--private-key-type", 0, OptionValue::required, OptionRole::plain},
    {"--progress", 0, OptionValue::required, OptionRole::plain},
    {"--proxy", 0, OptionValue::none, OptionRole::proxy},
    {"--proxy-passwd", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-password", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy-user", 0, OptionValue::required, OptionRole::proxy},
    {"--proxy__compat", 'Y', OptionValue::required, OptionRole::proxy},
    {"--quota", 'Q', OptionValue::required, OptionRole::plain},
    {"--random-file", 0, OptionValue::required, OptionRole::plain},
    {"--read-timeout", 0, OptionValue::required, OptionRole::plain},
    {"--recursive", 'r', OptionValue::none, OptionRole::file_name},
    {"--referer", 0, OptionValue::not_url, OptionRole::plain},
    {"--regex-type", 0, OptionValue::required, OptionRole::plain},
    {"--reject", 'R', OptionValue::required, OptionRole::plain},
    {"--reject-regex", 0, OptionValue::required, OptionRole::plain},
    {"--rejected-log", 0, OptionValue::required, OptionRole::plain},
    {"--remote-encoding", 0, OptionValue::required, OptionRole::plain},
    {"--restrict-file-names", 0, OptionValue::required, OptionRole::plain},
    {"--retry-on-http-error", 0, OptionValue::required, OptionRole::plain},
    {"--save-cookies", 0, OptionValue::required, OptionRole::keeps_state},
    {"--save-headers", 0, OptionValue::none, OptionRole::reports_source},
    {"--secure-protocol", 0, OptionValue::required, OptionRole::transport},
    {"--spider", 0, OptionValue::none, OptionRole::not_plain_get},
    {"--start-pos", 0, OptionValue::required, OptionRole::plain},
    {"--timeout", 'T', OptionValue::required, OptionRole::plain},
    {"--tries", 't', OptionValue::required, OptionRole::plain},
    {"--trust-server-names", 0, OptionValue::none, OptionRole::file_name},
    {"--use-askpass", 0, OptionValue::required, OptionRole::credentials},
    {"--user", 0, OptionValue::required, OptionRole::credentials},
    {"--user-agent", 'U', OptionValue::required, OptionRole::plain},
    {"--version", 'V', OptionValue::none, OptionRole::no_transfer},
    {"--wait", 'w', OptionValue::required, OptionRole::plain},
    {"--waitretry", 0, OptionValue::required, OptionRole::plain},
    {"--warc-dedup", 0, OptionValue::required, OptionRole::plain},
    {"--warc-file", 0, OptionValue::required, OptionRole::reports_source},
    {"--warc-header", 0, OptionValue::required, OptionRole::plain},
    {"--warc-max-size", 0, OptionValue::required, OptionRole::plain},
    {"--warc-tempdir", 0, OptionValue::required, OptionRole::plain},
    {"--xattr", 0, OptionValue::none, OptionRole::reports_source},
};

template <std::size_t N>
constexpr bool sortedByName(const OptionSpec (&options)[N]) {
  for (std::size_t i = 1; i < N; ++i)
    if (!(options[i - 1].name < options[i].name)) return false;
  return true;
}

template <std::size_t N>
constexpr OptionTable makeTable(const OptionSpec (&options)[N], bool fold_case) {
  static_assert(N < 255, "positions must fit the letter index");
  OptionTable table{options, {}, fold_case};
  for (std::size_t i = 0; i < N; ++i) {
    auto code = static_cast<unsigned char>(options[i].letter);
    if (code != 0 && code < table.by_letter.size() && table.by_letter[code] == 0)
      table.by_letter[code] = static_cast<std::uint8_t>(i + 1);
  }
  return table;
}

static_assert(sortedByName(kCurlOptions) && sortedByName(kWgetOptions));

constexpr OptionTable kCurlTable = makeTable(kCurlOptions, true);
constexpr OptionTable kWgetTable = makeTable(kWgetOptions, false);

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

const OptionTable& optionTableFor(Tool tool) {
  return tool == Tool::wget ? kWgetTable : kCurlTable;
}

OptionMatch findLongOption(const OptionTable& table, Bytes name) {
  if (name.empty()) return {};
  std::span<const OptionSpec> spelled = spelledWith(table, name);
  if (isExactly(spelled, name)) return {&spelled.front(), false};
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
