#pragma once
// Factory test mode and the factory/dealer tool.

void factory_test_init(void);
int init_factory_usart(void);
// Factory mode: while 1, polling, MQTT supervision and reports stand still.
int get_factory_mode(void);
void set_factory_mode(int flag);
