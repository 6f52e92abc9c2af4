// A walk of the section records of every module of an image, for the
// questions asked of the image as a whole (how much is compressed, in which
// format, which CPU its code is for).
#pragma once

#include <functional>

#include "modules/module_headers.h"

namespace xipsaw {

// Calls visit with each module and each of its section records, in table
// order, until it returns false. A module is skipped when its E32 header
// does not lie whole in the image or its section table is not located, and
// so is every module after the first that points at one section table: a
// hostile image can point thousands of modules at one table. The image's
// cursor is moved; the module pass's own walk is not.
void for_each_section(Image& image, E32Layout layout,
                      const std::function<bool(const ModuleEntry&, const O32Entry&)>& visit);

}  // namespace xipsaw
