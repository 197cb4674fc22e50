#pragma once
// The console page's files, compiled into the tool from tools/cloud/console/
// (console_embed.cmake), so the page never depends on where the tool runs.
#include <cstddef>

struct ConsoleAsset {
    const char *name;  // request path, "/index.html"
    const char *type;  // Content-Type
    const unsigned char *data;
    size_t size;
};

// Ends with an entry whose name is null.
extern const ConsoleAsset console_assets[];
