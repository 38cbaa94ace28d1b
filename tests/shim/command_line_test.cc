#include "shim/command_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "shim/tool_name.h"
#include "support/string_array.h"

namespace larderbox {
namespace {

using test::Arguments;

// The reader splits every spelling as the tool does. Shown per item: "+" for a positional element,
// "?" and its spelling for an option the table does not know, "!" for "--no-", "*" for curl's
// "--expand-", "=value", "@index" when separate.
TEST(CommandLineReader, Spellings) {
  struct Row {
    Tool tool;
    Arguments arguments;
    std::string items;
  };
  const Row rows[] = {
      {Tool::curl,
       {"-sSo", "f", "-dx", "--data", "y", "-", "--", "-T"},
       "-s -S -o=f@1 -d=x -d=y@4 + +"},
      {Tool::curl, {"--no-globoff", "--URL", "u", "--nope=1", "-e"}, "!-g --url=u@2 ?--nope=1 -e"},
      // "expand-" only before an option that takes a value.
      {Tool::curl,
       {"--expand-header", "h", "--expand-verbose", "--expand-data=d", "-%"},
       "*-H=h@1 ?--expand-verbose *-d=d ?%"},
      {Tool::wget,
       {"-qO-", "--output-d=f", "--no-config", "-nv", "--", "-r"},
       "-q -O=- -O=f --no-config -n=v +"},
  };
  for (const Row& row : rows) {
    std::string items;
    CommandLineReader reader(optionTableFor(row.tool), row.arguments.span());
    while (std::optional<CommandLineItem> item = reader.next()) {
      if (!items.empty()) items += " ";
      if (!item->is_option) {
        items += "+";
        continue;
      }
      if (item->negated) items += "!";
      if (item->expanded) items += "*";
      if (item->option == nullptr)
        items += "?" + std::string(item->spelling);
      else if (item->option->letter != 0)
        items += std::string("-") + item->option->letter;
      else
        items += item->option->name();
      if (item->value) items += "=" + std::string(*item->value);
      if (item->separate_value) items += "@" + std::to_string(item->index + 1);
    }
    EXPECT_EQ(items, row.items) << row.arguments.shown();
  }
}

}  // namespace
}  // namespace larderbox
