// The modem's context list ("at+cgdcont?" reply) on arbitrary text.  Besides
// "no crash" it checks that a reported duplicate really is listed twice.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lte/nv_handle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);  // the reply as the agent sees it: up to a NUL
    const char *reply = text.c_str();
    const int id = cgdcont_duplicate(reply);
    if (id == 0) return 0;
    if (id < 1 || id > 99) std::abort();
    const std::string tag = "+CGDCONT: " + std::to_string(id) + ",";
    const char *first = strstr(reply, tag.c_str());
    if (first == nullptr || strstr(first + 1, tag.c_str()) == nullptr) std::abort();
    return 0;
}
