#pragma once
// One BMP palette entry: its four bytes in file order (blue, green, red, reserved).

namespace Imaging {

struct ColorARGB {
    unsigned char bytes[4] = {0, 0, 0, 0};
};

}  // namespace Imaging
