// Which element of the argument array holds the download URL, and in which form.
#pragma once

#include <cstddef>

#include "runtime/bytes.h"

namespace larderbox {

struct UrlArgument {
  Bytes url;                 // a view into one argument; after "--url=" for the equals form
  std::size_t index = 0;     // position in the argument array of the element holding the URL
  bool equals_form = false;  // the element was written "--url=<url>"
};

}  // namespace larderbox
