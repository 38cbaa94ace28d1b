// The URL scan and the URL test against a reference written straight from their rules. The input
// is the argument array, the arguments separated by NUL bytes; each argument lives in a heap block
// of exactly its length plus the NUL, so a read past its end is caught by AddressSanitizer.
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "shim/selection.h"

namespace larderbox::fuzz {
namespace {

bool isLetter(unsigned char byte) {
  unsigned char folded = byte | 0x20;
  return folded >= 'a' && folded <= 'z';
}

bool isDigit(unsigned char byte) {
  return static_cast<unsigned>(byte - '0') < 10u;
}

// A letter, then letters, digits, "+", "-" or "." up to the first "://", which must not open it.
bool referenceLooksLikeUrl(std::string_view s) {
  std::size_t scheme_end = 0;
  while (scheme_end + 3 <= s.size() && std::memcmp(s.data() + scheme_end, "://", 3) != 0)
    ++scheme_end;
  if (scheme_end + 3 > s.size() || scheme_end == 0) return false;
  if (!isLetter(static_cast<unsigned char>(s[0]))) return false;
  for (std::size_t i = 1; i < scheme_end; ++i) {
    auto byte = static_cast<unsigned char>(s[i]);
    if (!isLetter(byte) && !isDigit(byte) && byte != '+' && byte != '-' && byte != '.')
      return false;
  }
  return true;
}

struct Selected {
  std::size_t index;
  bool equals_form;
  std::string_view url;
};

// The four tests in their order; the first element that passes one ends the scan.
std::optional<Selected> referenceScan(const std::vector<std::string_view>& a) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] == "--") {
      for (std::size_t j = i + 1; j < a.size(); ++j)
        if (referenceLooksLikeUrl(a[j])) return Selected{j, false, a[j]};
      return std::nullopt;
    }
    if (a[i] == "--url" && i + 1 < a.size()) return Selected{i + 1, false, a[i + 1]};
    if (a[i].size() >= 6 && a[i].compare(0, 6, "--url=") == 0)
      return Selected{i, true, a[i].substr(6)};
    if (referenceLooksLikeUrl(a[i])) return Selected{i, false, a[i]};
  }
  return std::nullopt;
}

// What holds for any selection, whatever the reference says.
void checkSelection(const UrlArgument& found, const std::vector<std::string_view>& a) {
  require(found.index < a.size(), "the index names an element of the array");
  std::string_view element = a[found.index];
  require(isViewInto(found.url, element), "the url is a view into the element it names");
  if (found.equals_form) {
    require(element.starts_with("--url="), "the equals form comes from a \"--url=\" element");
    require(found.url.size() == element.size() - 6, "the equals form is the rest after \"--url=\"");
    return;
  }
  require(found.url.size() == element.size(), "outside the equals form the url is the element");
  bool after_url_option = found.index > 0 && a[found.index - 1] == "--url";
  require(looksLikeUrl(found.url) || after_url_option,
          "a url that does not look like one follows \"--url\"");
}

void checkUrlTest(std::string_view argument) {
  require(looksLikeUrl(argument) == referenceLooksLikeUrl(argument),
          "looksLikeUrl agrees with its rules");
}

}  // namespace

void fuzzInput(std::string_view input) {
  checkUrlTest(input);  // with NUL bytes inside: the test is over bytes, not C strings

  std::vector<std::unique_ptr<char[]>> storage;
  std::vector<char*> pointers;
  std::vector<std::string_view> arguments;
  for (std::string_view piece : splitAtNul(input)) {
    storage.push_back(std::make_unique<char[]>(piece.size() + 1));
    char* copy = storage.back().get();
    if (!piece.empty()) std::memcpy(copy, piece.data(), piece.size());
    copy[piece.size()] = '\0';
    pointers.push_back(copy);
    arguments.emplace_back(copy, piece.size());
    checkUrlTest(arguments.back());
  }

  std::optional<UrlArgument> found = findUrlArgument(pointers);
  std::optional<Selected> expected = referenceScan(arguments);
  require(found.has_value() == expected.has_value(), "a url is found exactly when the rules say");
  if (!found) return;
  checkSelection(*found, arguments);
  require(found->index == expected->index, "the index is the one the rules select");
  require(found->equals_form == expected->equals_form, "the form is the one the rules select");
  require(found->url == expected->url, "the url bytes are the ones the rules select");
}

}  // namespace larderbox::fuzz
