#include "lte/lte_handle.h"

// The data connection comes with the LTE work.
int init_lte_common(void) { return 0; }

int init_lte(void) { return 0; }

int check_lte_network(void) { return 0; }

int load_sn_info(void) { return 0; }

int load_csq(void) { return 0; }
