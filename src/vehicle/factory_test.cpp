#include "vehicle/factory_test.h"

#include <atomic>
#include <cstdio>


void factory_test_init(void) {
    printf("%d/%s **************** factory test init ****************\n", __LINE__, __func__);
}

// The factory table comes with the factory test work.
int factory_mode_dispatch(const unsigned char *, int) { return 0; }
