#include "shim/command_line.h"

namespace larderbox {
namespace {

CommandLineItem itemAt(std::size_t index, bool is_option) {
  CommandLineItem item;
  item.index = index;
  item.is_option = is_option;
  return item;
}

}  // namespace

std::optional<CommandLineItem> CommandLineReader::next() {
  if (letter_ != 0) return readLetter();
  while (index_ < arguments_.size()) {
    Bytes element(arguments_[index_]);
    // A lone "-" is standard input or output to the tools, never an option.
    if (options_ended_ || element.size() < 2 || element[0] != '-') return itemAt(index_++, false);
    if (element == "--") {
      options_ended_ = true;
      ++index_;
      continue;
    }
    if (element[1] == '-') return readLong(element);
    cluster_ = element;
    letter_ = 1;
    return readLetter();
  }
  return std::nullopt;
}

// curl knows no "--name=value"; it rejects such an element, so reading it as wget does is harmless.
CommandLineItem CommandLineReader::readLong(Bytes element) {
  CommandLineItem item = itemAt(index_, true);
  Bytes body = bytesFrom(element, 2);
  std::size_t equals = body.find('=');
  Bytes name = bytesUpTo(body, equals);
  OptionMatch match = findLongOption(table_, name);
  item.option = match.option;
  item.negated = match.negated;
  item.expanded = match.expanded;
  item.spelling = Bytes(element.data(), 2 + name.size());
  ++index_;
  if (equals != Bytes::npos)
    item.value = bytesFrom(body, equals + 1);
  else if (match.option != nullptr && match.option->takesValue() && !match.negated)
    item.value = takeNextElement(item);
  return item;
}

// A letter that takes a value takes the rest of its element or, when it is the last, the next one.
CommandLineItem CommandLineReader::readLetter() {
  CommandLineItem item = itemAt(index_, true);
  item.option = table_.forLetter(cluster_[letter_]);
  item.spelling = Bytes(&cluster_[letter_], 1);
  ++letter_;
  bool more_letters = letter_ < cluster_.size();
  bool takes_value = item.option != nullptr && item.option->takesValue();
  if (takes_value && more_letters) item.value = bytesFrom(cluster_, letter_);
  if (takes_value || !more_letters) {
    letter_ = 0;
    ++index_;
  }
  if (takes_value && !more_letters) item.value = takeNextElement(item);
  return item;
}

std::optional<Bytes> CommandLineReader::takeNextElement(CommandLineItem& item) {
  if (index_ >= arguments_.size()) return std::nullopt;
  item.separate_value = true;
  return Bytes(arguments_[index_++]);
}

}  // namespace larderbox
