#include "platform/plat_node.h"

// A sysfs attribute stays the same file for the life of its device.
bool plat_node_replaced(int) { return false; }
