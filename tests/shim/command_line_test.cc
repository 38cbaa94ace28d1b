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
// "?" for an option the table does not know, "!" for "--no-", "=value", "@index" when separate.
TEST(CommandLineReader, Spellings) {
  struct Row {
    Tool tool;
    Arguments arguments;
    std::string items;
  };
  const Row rows[] = {
      {Tool::curl,
       {"-sSo", "f", "-dx", "--data", "y", "-", "--", "-T"},
       "? ? -o=f@1 -d=x -d=y@4 + +"},
      {Tool::curl, {"--no-globoff", "--URL", "u", "--nope", "-e"}, "!-g --url=u@2 ? -e"},
      {Tool::wget,
       {"-qO-", "--output-d=f", "--no-config", "-nv", "--", "-r"},
       "? -O=- -O=f --no-config -n=v +"},
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
      if (item->option == nullptr)
        items += "?";
      else if (item->option->letter != 0)
        items += std::string("-") + item->option->letter;
      else
        items += item->option->name;
      if (item->value) items += "=" + std::string(*item->value);
      if (item->separate_value) items += "@" + std::to_string(item->index + 1);
    }
    EXPECT_EQ(items, row.items) << row.arguments.shown();
  }
}

}  // namespace
}  // namespace larderbox
