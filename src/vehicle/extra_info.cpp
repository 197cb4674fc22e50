#include "vehicle/extra_info.h"

#include "core/logging.h"
#include "vehicle/bt_handle.h"
#include "vehicle/lock_link.h"

// The information reads copy into the block only when an answer came.
void get_extra_display_info_t(uint8_t *block) {
    if (block == nullptr) return;
    get_display_software_version(block + 0);
    dhex("--->>> soft_recv <<<---", block + 0, 4);
    get_display_model(block + 4);
    dhex("--->>> model_recv <<<---", block + 4, 20);
    get_display_branch(block + 24);
    dhex("--->>> branch_recv <<<---", block + 24, 30);
}

void get_extra_motor_info_t(uint8_t *block) {
    if (block == nullptr) return;
    get_motor_sn(block + 24);
    dhex("--->>> sn_recv <<<---", block + 24, 24);
    get_motor_software_version(block + 48);
    dhex("--->>> mc_soft_recv <<<---", block + 48, 4);
    get_motor_boot_version(block + 52);
    dhex("--->>> boot_recv <<<---", block + 52, 4);
    get_motor_model(block + 56);
    dhex("--->>> model_recv <<<---", block + 56, 20);
    get_motor_branch(block + 76);
    dhex("--->>> branch_recv <<<---", block + 76, 30);
}

void get_extra_gd_info_t(uint8_t *block) {
    if (block == nullptr) return;
    get_gd_software_version(block);
    dhex("--->>> gd_software_version <<<---", block, 4);
}

void get_extra_ble_info_t(uint8_t *block) {
    if (block == nullptr) return;
    get_ble_software_version(block + 5);
    dhex("--->>> ble_software_version <<<---", block + 5, 4);
}
