#include "shim/redirect_gate.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "shim/tool_family.h"
#include "support/string_array.h"

namespace larderbox {
namespace {

using test::Arguments;

struct GateRow {
  Arguments arguments;
  std::string reason;  // empty: the cache may serve the command line
  std::string detail;
};

void expectVerdicts(ToolFamily family, const std::vector<GateRow>& rows) {
  for (const GateRow& row : rows) {
    std::string shown = std::string(familyName(family)) + " " + row.arguments.shown();
    CommandLineReading reading = readCommandLine(family, row.arguments.span());
    ASSERT_TRUE(reading.url) << shown;
    std::optional<GateVerdict> verdict = reading.gate;
    if (row.reason.empty()) {
      EXPECT_FALSE(verdict) << shown << "gated: " << verdict->reason << ": " << verdict->detail;
      continue;
    }
    ASSERT_TRUE(verdict) << shown;
    EXPECT_EQ(verdict->reason, row.reason) << shown;
    EXPECT_EQ(verdict->detail, row.detail) << shown;
  }
}

TEST(GateRedirect, Curl) {
  expectVerdicts(
      ToolFamily::curl,
      {
          // Plain downloads the cache serves.
          {{"-fsSL", "-o", "f", "http://h/x.tgz"}, "", ""},
          {{"-LO", "http://h/x.tgz"}, "", ""},
          {{"-O", "http://h/x.tgz?v=1#top"}, "", ""},
          {{"-C", "-", "-o", "f", "http://h/x"}, "", ""},
          {{"--retry", "3", "-r", "0-9", "--compressed", "http://h/x"}, "", ""},
          {{"-H", "Accept: */*", "-A", "ua", "-H", "Pragma:", "-HCache-Control;", "http://h/x"},
           "",
           ""},
          {{"-sX", "GET", "http://h/x"}, "", ""},
          {{"http://[::1]:8080/x"}, "", ""},  // an IPv6 literal host is no glob
          {{"HTTPS://h/x"}, "", ""},
          {{"-w", "%{http_code} %{size_download}", "http://h/x"}, "", ""},
          {{"-A", "-d", "-ofile-T", "http://h/x"}, "", ""},    // values, not options
          {{"--", "-T", "http://h/x"}, "", ""},                // after "--" nothing is an option
          {{"--header", "Referer: r", "http://h/x"}, "", ""},  // not an abbreviation of --head
          {{"--http2", "--crlf", "--url", "http://h/x"}, "", ""},
          {{"-g", "http://h/a[1].txt"}, "", ""},
          // Not a plain GET of the resource.
          {{"-T", "up.txt", "http://h/x"}, "sends data", "-T"},
          // "--parallel" is a switch, not an abbreviation of "--parallel-max" taking "-T".
          {{"--parallel", "-T", "up.txt", "http://h/x"}, "sends data", "-T"},
          {{"-sSd", "a=1", "http://h/x"}, "sends data", "-d"},
          {{"-dx", "http://h/x"}, "sends data", "-d"},
          {{"--upload-f", "up.txt", "http://h/x"}, "sends data", "-T"},
          {{"--Data-URLencode", "a", "http://h/x"}, "sends data", "--data-urlencode"},
          {{"--json=1", "http://h/x"}, "sends data", "--json"},
          {{"--hea", "http://h/x"}, "not a plain GET", "-I"},
          {{"-sX", "get", "http://h/x"}, "not a plain GET", "-X"},
          // Credentials.
          {{"-u", "a:b", "http://h/x"}, "credentials", "-u"},
          {{"--oauth2-bearer", "t", "http://h/x"}, "credentials", "--oauth2-bearer"},
          {{"-b", "c=1", "http://h/x"}, "credentials", "-b"},
          {{"-fn", "http://h/x"}, "credentials", "-n"},
          // Headers: only known-harmless ones keep a hit.
          {{"-H", " authorization : Bearer t", "http://h/x"}, "header", "authorization"},
          {{"-HCookie;", "http://h/x"}, "header", "Cookie"},
          {{"-H", "@headers.txt", "http://h/x"}, "header", "@file"},
          {{"-H", "PRIVATE-TOKEN: t", "http://h/x"}, "header", "PRIVATE-TOKEN"},
          {{"-H", "Accept: application/json", "http://h/x"}, "header", "Accept"},
          {{"-H", "X-A: 1\r\nAuthorization: t", "http://h/x"}, "header", "line break"},
          {{"-H", "Host: other", "http://h/x"}, "header", "Host"},
          {{"-H", "s3cr3t-t0ken", "http://h/x"}, "header", "malformed"},  // never shown whole
          {{"http://u:p@h/x"}, "credentials", "userinfo"},
          // Transport.
          {{"--proto", "=https", "--tlsv1.2", "-sSf", "https://h/x"}, "transport", "--proto"},
          {{"-6", "http://h/x"}, "transport", "-6"},
          {{"--resolve", "h:80:127.0.0.1", "http://h/x"}, "transport", "--resolve"},
          {{"--doh-url", "https://d/q", "http://h/x"}, "transport", "--doh-url"},
          {{"-x", "http://proxy:3128", "http://h/x"}, "transport", "proxy"},
          {{"--noproxy", "*", "http://h/x"}, "transport", "proxy"},
          // Other schemes, and lines that make no transfer.
          {{"-o", "f", "file:///home/u/notes.txt"}, "scheme", "file"},
          {{"--url", "h/x"}, "scheme", "none"},
          {{"-V", "http://h/x"}, "no transfer", "-V"},
          {{"--manual", "http://h/x"}, "no transfer", "-M"},
          {{"http://[::1]/a[1-2]"}, "glob", "brackets"},
          // What the output says about the source, state kept from the answers.
          {{"-L", "-o", "/dev/null", "-w", "%{url_effective}", "http://h/latest"},
           "reports the source",
           "-w"},
          {{"-w", "%header{location}", "http://h/x"}, "reports the source", "-w"},
          {{"-w", "@format", "http://h/x"}, "reports the source", "-w"},
          {{"-si", "http://h/x"}, "reports the source", "-i"},
          {{"-c", "jar", "http://h/x"}, "keeps state", "-c"},
          // Names.
          {{"-OJ", "http://h/x"}, "file name", "-J"},
          {{"-O", "http://h/dir/"}, "file name", "directory"},
          {{"--remote-name-all", "http://h:8080"}, "file name", "no path"},
          {{"http://h/a/.."}, "file name", "dot segment"},
          {{"http://h/a/%2E%2e?x"}, "file name", "dot segment"},
          {{"-o", "http://h/out", "http://h/in"}, "not the URL", "-o"},
          {{"-o", "--url=http://h/x"}, "not the URL", "-o"},
          {{"-o", "--url", "http://h/x"},
           "",
           ""},  // a file named "--url"
                 // The first reason on the line, also when the URL comes after another.
          {{"-T", "f", "-o", "http://h/out", "http://h/in"}, "sends data", "-T"},
          {{"-o", "http://h/out", "-T", "f", "http://h/in"}, "not the URL", "-o"},
          // Globbing.
          {{"http://h/a[1-2].txt"}, "glob", "brackets"},
          {{"-g", "--no-globoff", "http://h/{a,b}"}, "glob", "brackets"},
          {{"-g", "http://h/[1]", "--next", "http://h/y"}, "glob", "brackets"},
          // Configuration from elsewhere.
          {{"-K", "more.cfg", "http://h/x"}, "config", "-K"},
      });
}

TEST(GateRedirect, Wget) {
  expectVerdicts(
      ToolFamily::gnu_wget,
      {
          {{"-qO-", "http://h/x.tgz"}, "", ""},
          {{"-q", "-O", "f", "http://h/x?v=1"}, "", ""},
          {{"-c", "--tries=3", "-nv", "http://h/x"}, "", ""},
          {{"--header=Accept: */*", "-U", "ua", "http://h/x"}, "", ""},
          {{"-e", "robots=off", "-e", " Passive_FTP = on", "http://h/x"}, "", ""},
          {{"--no-config", "--no-check-certificate", "http://h/x"}, "", ""},
          {{"-O", "-r", "http://h/x"}, "", ""},  // a file named "-r"
          {{"--", "-r", "http://h/x"}, "", ""},
          {{"--post-data=a=1", "http://h/x"}, "sends data", "--post-data"},
          {{"--hsts", "--post-data", "a", "http://h/x"}, "sends data", "--post-data"},
          {{"--post-d=a", "http://h/x"}, "sends data", "--post-data"},
          {{"--body-file", "f", "--method", "PUT", "http://h/x"}, "sends data", "--body-file"},
          {{"--method=PUT", "http://h/x"}, "not a plain GET", "--method"},
          {{"--spider", "http://h/x"}, "not a plain GET", "--spider"},
          {{"--user=a", "http://h/x"}, "credentials", "--user"},
          {{"--header", "Cookie: a=1", "http://h/x"}, "header", "Cookie"},
          {{"--header=PRIVATE-TOKEN: t", "http://h/x"}, "header", "PRIVATE-TOKEN"},
          {{"-e", "header = X-Api-Key: k", "http://h/x"}, "header", "X-Api-Key"},
          {{"-e", "use_proxy=off", "http://h/x"}, "transport", "proxy"},
          {{"--no-proxy", "http://h/x"}, "transport", "proxy"},
          {{"--version", "http://h/x"}, "no transfer", "-V"},
          {{"http://u@h/x"}, "credentials", "userinfo"},
          {{"-4", "http://h/x"}, "transport", "-4"},
          {{"--https-only", "https://h/x"}, "transport", "--https-only"},
          {{"--save-headers", "http://h/x"}, "reports the source", "--save-headers"},
          {{"--save-cookies", "c", "http://h/x"}, "keeps state", "--save-cookies"},
          {{"-qr", "http://h/x"}, "file name", "-r"},
          {{"--content-disposition", "http://h/x"}, "file name", "--content-disposition"},
          {{"http://h/x?v=1"}, "file name", "query"},
          {{"http://h/dir/"}, "file name", "directory"},
          {{"http://h:8080"}, "file name", "no path"},
          {{"-e", "user=alice:s3cret", "http://h/x"}, "credentials", "user"},
          {{"--execute=retry = 3", "http://h/x"}, "config", "retry"},  // unknown: may do anything
          {{"-e", "robots", "http://h/x"}, "config", "syntax"},
          {{"--config=more.rc", "http://h/x"}, "config", "--config"},
          {{"--no-conf", "http://h/x"}, "config", "--config"},  // could be either: gate
      });
}

// What only newer curl releases know, and an option no release knows.
TEST(GateRedirect, CurlEight) {
  expectVerdicts(
      ToolFamily::curl,
      {
          {{"--skip-existing", "--out-null", "--follow", "-o", "f", "http://h/x"}, "", ""},
          {{"--variable", "f=x.tgz", "--expand-output", "{{f}}", "http://h/x"}, "", ""},
          {{"--expand-referer", "http://h/ref", "-o", "f", "http://h/x"}, "", ""},
          // An expanded value can hold anything a variable holds.
          {{"--expand-header", "Accept: {{a}}", "http://h/x"}, "credentials", "-H"},
          {{"--expand-user", "a:b", "http://h/x"}, "credentials", "-u"},
          {{"--expand-data", "x", "http://h/x"}, "sends data", "-d"},
          {{"--expand-request", "DELETE", "http://h/x"}, "not a plain GET", "-X"},
          {{"--expand-write-out", "%{http_code}", "http://h/x"}, "reports the source", "-w"},
          {{"--expand-url", "http://h/{{p}}"}, "not the URL", "--url"},
          {{"--variable", "tok@secret.txt", "http://h/x"}, "config", "--variable"},
          {{"--show-headers", "-o", "f", "http://h/x"}, "reports the source", "-i"},
          {{"-w", "%{url.host}", "http://h/x"}, "reports the source", "-w"},
          {{"-w", "%{urle.path}", "http://h/x"}, "reports the source", "-w"},
          {{"--ipfs-gateway", "http://gw/", "-o", "f", "ipfs://cid"},
           "transport",
           "--ipfs-gateway"},
          {{"--haproxy-clientip", "10.0.0.1", "http://h/x"}, "transport", "--haproxy-clientip"},
          {{"--ca-native", "http://h/x"}, "transport", "--ca-native"},
          {{"--frobnicate=1", "http://h/x"}, "unknown option", "--frobnicate"},
          {{"--expand-verbose", "http://h/x"}, "unknown option", "--expand-verbose"},
          {{"-sS%", "http://h/x"}, "unknown option", "-%"},
          // Named for the trace without anything that could forge a line.
          {{"--frob\nlarderbox: hit", "http://h/x"}, "unknown option", "--frob"},
          {{"-s\x01", "http://h/x"}, "unknown option", "-?"},
      });
}

TEST(GateRedirect, Wget2) {
  expectVerdicts(
      ToolFamily::wget2,
      {
          {{"-q", "-O", "f", "http://h/x"}, "", ""},
          {{"--no-xattr", "--no-netrc", "--no-config", "-nv", "http://h/x"}, "", ""},
          {{"-s", "http://h/x"}, "not a plain GET", "-s"},
          {{"--stats-site=s.txt", "http://h/x"}, "reports the source", "--stats-site"},
          {{"--xattr", "http://h/x"}, "reports the source", "--xattr"},
          {{"--metalink", "http://h/x"}, "file name", "--metalink"},
          {{"--hsts-file=h", "http://h/x"}, "keeps state", "--hsts-file"},
          {{"--retry-on-host-error", "http://h/x"}, "unknown option", "--retry-on-host-error"},
      });
}

TEST(GateRedirect, BusyboxWget) {
  expectVerdicts(
      ToolFamily::busybox,
      {
          {{"-qO-", "http://h/x"}, "", ""},
          {{"-q", "-T", "5", "-t", "1", "-U", "ua", "-O", "f", "http://h/x"}, "", ""},
          {{"--tr=2", "--no-check-certificate", "http://h/x"}, "", ""},
          {{"--post-d=x", "http://h/x"}, "sends data", "--post-data"},
          {{"--header", "Authorization: x", "http://h/x"}, "header", "Authorization"},
          {{"--spider", "http://h/x"}, "not a plain GET", "--spider"},
          {{"-q", "http://h/x?v=1"}, "file name", "query"},
          {{"--content-disposition", "http://h/x"}, "unknown option", "--content-disposition"},
          {{"-qr", "http://h/x"}, "unknown option", "-r"},
      });
}

}  // namespace
}  // namespace larderbox
