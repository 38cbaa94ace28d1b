// The URL scan and the URL test against a reference written straight from their rules, the command
// line reader's coverage of the array, and the redirect gate's verdicts, for every family. The
// input is the argument array, the arguments separated by NUL bytes; each argument lives in a heap
// block of exactly its length plus the NUL, so a read past its end is caught by AddressSanitizer.
#include <cstring>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "shim/command_line.h"
#include "shim/redirect_gate.h"
#include "shim/selection.h"
#include "shim/tool_family.h"

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

// How the tool reads each element of the array; url_value: the value of curl's "--url".
enum class ElementKind { option, value, url_value, value_never_url, positional, end_of_options };

// The first element that passes its tests: an option's element or a value by "--url" followed by
// another element, "--url=" or the URL test; a positional element by the URL test alone; a value
// that is never the URL and the "--" that ends the options by none.
std::optional<Selected> referenceScan(const std::vector<std::string_view>& a,
                                      const std::vector<ElementKind>& kinds) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (kinds[i] == ElementKind::value_never_url || kinds[i] == ElementKind::end_of_options)
      continue;
    if (kinds[i] != ElementKind::positional) {
      if (a[i] == "--url" && i + 1 < a.size()) return Selected{i + 1, false, a[i + 1]};
      if (a[i].starts_with("--url=")) return Selected{i, true, a[i].substr(6)};
    }
    if (referenceLooksLikeUrl(a[i])) return Selected{i, false, a[i]};
  }
  return std::nullopt;
}

// Reads the whole array: every element is an option's, a separate value, a positional element or
// the "--" that ends the options, in order, and every value is a view into its own element. Gives
// what each element is to the tool.
std::vector<ElementKind> classifyElements(ToolFamily family, const std::vector<char*>& pointers,
                                          const std::vector<std::string_view>& a) {
  std::vector<ElementKind> kinds(a.size(), ElementKind::end_of_options);
  std::vector<bool> read(a.size(), false);
  CommandLineReader reader(optionTableFor(family), pointers);
  std::size_t next_unread = 0;
  while (std::optional<CommandLineItem> item = reader.next()) {
    require(item->index < a.size(), "an item names an element of the array");
    require(item->index + 1 >= next_unread, "items come in the order of the array");
    if (next_unread < item->index) {
      require(next_unread + 1 == item->index && a[next_unread] == "--",
              "only the \"--\" that ends the options is passed over");
    }
    read[item->index] = true;
    next_unread = item->index + 1;
    if (!item->is_option) {
      require(!item->value && item->option == nullptr, "a positional element has no option");
      kinds[item->index] = ElementKind::positional;
      continue;
    }
    kinds[item->index] = ElementKind::option;
    require(a[item->index].size() >= 2 && a[item->index][0] == '-', "an option begins with \"-\"");
    if (!item->separate_value) {
      if (item->value) require(isViewInto(*item->value, a[item->index]), "an attached value");
      continue;
    }
    require(item->option != nullptr && item->value && item->index + 1 < a.size(),
            "a separate value belongs to a known option");
    require(item->value->data() == a[item->index + 1].data() &&
                item->value->size() == a[item->index + 1].size(),
            "a separate value is the whole next element");
    read[item->index + 1] = true;
    next_unread = item->index + 2;
    kinds[item->index + 1] = item->option->value == OptionValue::not_url
                                 ? ElementKind::value_never_url
                             : item->option->role == OptionRole::url ? ElementKind::url_value
                                                                     : ElementKind::value;
  }
  for (std::size_t i = 0; i < a.size(); ++i)
    require(read[i] || a[i] == "--", "every element is read");
  return kinds;
}

bool pointsInto(Bytes text, const std::vector<std::string_view>& a) {
  for (std::string_view argument : a)
    if (!text.empty() && isViewInto(text, argument)) return true;
  return false;
}

// A name the caller wrote (a header's, a scheme's, a wgetrc command's): followed, after blanks, by
// its ":", ";" or "=", so that no value is ever part of it.
bool isNameInto(Bytes text, const std::vector<std::string_view>& a) {
  for (std::string_view argument : a) {
    if (text.empty() || !isViewInto(text, argument)) continue;
    std::string_view after = argument.substr(text.data() + text.size() - argument.data());
    while (!after.empty() && (after.front() == ' ' || after.front() == '\t'))
      after.remove_prefix(1);
    return !after.empty() && (after.front() == ':' || after.front() == ';' || after.front() == '=');
  }
  return false;
}

// The verdict is static text, or the name of what gated: never a value of the caller's. The name
// of an option the table does not know holds only the bytes of option names. A URL that is
// another option's value is refused.
void checkVerdict(const std::optional<GateVerdict>& verdict, const std::vector<std::string_view>& a,
                  const UrlArgument& url, const std::vector<ElementKind>& kinds) {
  if (kinds[url.index] == ElementKind::value)
    require(verdict.has_value(), "another option's value is never redirected");
  if (!verdict) return;
  require(!verdict->reason.empty() && !verdict->detail.empty(), "a verdict says why");
  require(!pointsInto(verdict->reason, a), "a verdict's reason is static");
  if (verdict->reason == "unknown option") {
    require(verdict->detail.size() >= 2 && verdict->detail[0] == '-' &&
                verdict->detail.find_first_of("=\n\r\t ") == Bytes::npos,
            "an unknown option is named without its value");
    return;
  }
  require(!pointsInto(verdict->detail, a) || isNameInto(verdict->detail, a),
          "a verdict holds no value of the caller's");
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

  for (ToolFamily family :
       {ToolFamily::curl, ToolFamily::gnu_wget, ToolFamily::wget2, ToolFamily::busybox}) {
    std::vector<ElementKind> kinds = classifyElements(family, pointers, arguments);
    CommandLineReading reading = readCommandLine(family, pointers);
    std::optional<Selected> expected = referenceScan(arguments, kinds);
    require(reading.url.has_value() == expected.has_value(),
            "a url is found exactly when the rules say");
    if (!reading.url) {
      require(!reading.gate, "no verdict without a url");
      continue;
    }
    const UrlArgument& found = *reading.url;
    checkSelection(found, arguments);
    require(found.index == expected->index, "the index is the one the rules select");
    require(found.equals_form == expected->equals_form, "the form is the one the rules select");
    require(found.url == expected->url, "the url bytes are the ones the rules select");
    checkVerdict(reading.gate, arguments, found, kinds);
  }
}

}  // namespace larderbox::fuzz
