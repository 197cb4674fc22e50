#include "platform/plat_node.h"

// A sysfs attribute stays the same file for the life of its device.
void plat_node_watch(PlatNodeWatch *) {}
bool plat_node_replaced(int, PlatNodeWatch *) { return false; }
