#pragma once
// Factory test mode and the factory/dealer tool.

void factory_test_init(void);
// Factory table: runs the handler of a frame from the factory/dealer tool.
int factory_mode_dispatch(const unsigned char *frame, int len);
