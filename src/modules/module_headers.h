// Which of the two E32Header layouts an image's modules use (the fields of
// both are in image/module_layout.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image.h"
#include "image/module_layout.h"

namespace xipsaw {

const char* layout_name(E32Layout layout);

// The layout of the image's modules, decided from all of their headers,
// whichever of them a command selects (see the definition).
E32Layout decide_e32_layout(Image& image);

}  // namespace xipsaw
