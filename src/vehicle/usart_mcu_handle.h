#pragma once
// Main MCU line (ttyHSL2).

// Opens the MCU line; 1 on success.
int init_mcu_usart(void);
