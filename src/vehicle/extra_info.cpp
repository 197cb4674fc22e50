#include "vehicle/extra_info.h"

#include <cstddef>

#include "core/logging.h"
#include "vehicle/bt_handle.h"
#include "vehicle/lock_link.h"

namespace {

// One information read into its place in a block, dumped under its label.
struct Read {
    int (*get)(uint8_t *);
    size_t offset;
    size_t width;
    const char *label;
};

// The reads copy into the block only when an answer came.
template <size_t N>
void read_all(uint8_t *block, const Read (&reads)[N]) {
    if (block == nullptr) return;
    for (const Read &r : reads) {
        r.get(block + r.offset);
        dhex(r.label, block + r.offset, static_cast<int>(r.width));
    }
}

const Read kDisplay[] = {
    {get_display_software_version, 0, 4, "--->>> soft_recv <<<---"},
    {get_display_model, 4, 20, "--->>> model_recv <<<---"},
    {get_display_branch, 24, 30, "--->>> branch_recv <<<---"},
};
const Read kMotor[] = {
    {get_motor_sn, 24, 24, "--->>> sn_recv <<<---"},
    {get_motor_software_version, 48, 4, "--->>> mc_soft_recv <<<---"},
    {get_motor_boot_version, 52, 4, "--->>> boot_recv <<<---"},
    {get_motor_model, 56, 20, "--->>> model_recv <<<---"},
    {get_motor_branch, 76, 30, "--->>> branch_recv <<<---"},
};
const Read kGd[] = {{get_gd_software_version, 0, 4, "--->>> gd_software_version <<<---"}};
const Read kBle[] = {{get_ble_software_version, 5, 4, "--->>> ble_software_version <<<---"}};

}  // namespace

void get_extra_display_info_t(uint8_t *block) { read_all(block, kDisplay); }
void get_extra_motor_info_t(uint8_t *block) { read_all(block, kMotor); }
void get_extra_gd_info_t(uint8_t *block) { read_all(block, kGd); }
void get_extra_ble_info_t(uint8_t *block) { read_all(block, kBle); }
