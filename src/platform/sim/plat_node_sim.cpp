#include <sys/stat.h>

#include "platform/plat_node.h"

// devsim writes a node as a new file renamed over the old one; the old file,
// still open here, then has no name left.  One fstat, no path walk.
bool plat_node_replaced(int fd) {
    struct stat st {};
    return fstat(fd, &st) != 0 || st.st_nlink == 0;
}
