#pragma once
// Nordic DFU package: a zip with "manifest.json" naming, per image, an init
// packet (.dat) and a firmware file (.bin).  Images go to the MCU's serial
// bootloader in a fixed order: SoftDevice+Bootloader, SoftDevice, Bootloader,
// Application.
#include <cstddef>
#include <cstdint>

#include "dfu/uart_slip.h"

enum dfu_image_kind : int {
    DFU_IMG_NONE = 0,
    DFU_IMG_APPLICATION = 1,
    DFU_IMG_BOOTLOADER = 2,
    DFU_IMG_SOFTDEVICE = 3,
    DFU_IMG_SOFTDEVICE_BOOTLOADER = 4,
};

// Limits of what a package may hold: zip entry names, images, and the sizes
// read into memory (the MCU's flash holds no more than 1 MiB of image; an
// init packet is a few hundred bytes).
inline constexpr size_t kDfuNameMax = 64;
inline constexpr size_t kDfuMaxImages = 3;
inline constexpr int kDfuJsonTokens = 30;
inline constexpr size_t kDfuManifestMax = 4096;
inline constexpr size_t kDfuDatMax = 4096;
inline constexpr size_t kDfuBinMax = 1024 * 1024;

struct dfu_image_t {
    int kind;
    char bin_file[kDfuNameMax];
    char dat_file[kDfuNameMax];
};

struct dfu_manifest_t {
    int declared;  // images the manifest object declares (1 or 2)
    int count;     // images read
    dfu_image_t images[kDfuMaxImages];
};

// Parses manifest text.  0 with *out filled, 1 with the error's message.
int dfu_parse_manifest(const char *json, size_t len, dfu_manifest_t *out);

struct dfu_param_t {
    uart_drv_t *p_uart;       // open SLIP port
    const char *p_pkg_file;   // device path of the package
};

// Sends every image of the package.  0 on success, else the first error (1, or
// 2 for a stream offset/CRC mismatch).
int dfu_send_package(dfu_param_t *p_dfu);
