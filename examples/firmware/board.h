/* The board as the firmware sees it: QEMU's mps2-an385 / mps2-an386 (the same
 * memory map and peripherals on both). */
#ifndef BOARD_H
#define BOARD_H

#include <stddef.h>
#include <stdint.h>

/* UART0, a CMSDK APB UART (Cortex-M System Design Kit, ARM DDI 0479). */
void uart_init(void);
void uart_write(const uint8_t* bytes, size_t count);
/* The received byte (0..255), or -1 when none is waiting. */
int uart_read(void);
void uart_print(const char* text);
void uart_print_u32(uint32_t value);
void uart_print_hex(const uint8_t* bytes, size_t count);

/* SysTick as a free-running 24-bit down-counter on the processor clock. */
void systick_start(void);
uint32_t systick_now(void);

/* 16 bytes for the session id: see entropy.c. */
void entropy_session_id(uint8_t session_id[16]);

/* Stops the emulator (semihosting exit) or, on a board, parks the CPU. */
void board_halt(void);

#endif
