#pragma once
// Factory test mode and the factory/dealer tool.

void factory_test_init(void);
// Factory table: runs the handler of a frame from the factory/dealer tool.
int factory_mode_dispatch(const unsigned char *frame, int len);
// Factory mode: while 1, polling, MQTT supervision and reports stand still.
int get_factory_mode(void);
void set_factory_mode(int flag);
