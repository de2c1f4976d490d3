/* The board as the firmware sees it: QEMU's mps2-an385 / mps2-an386 (the same
 * memory map and peripherals on both). */
#ifndef BOARD_H
#define BOARD_H

#include <stddef.h>
#include <stdint.h>

/* The boards' CMSDK APB UARTs (Cortex-M System Design Kit, ARM DDI 0479):
 * UART0 carries the frames (or the self-test's report), UART1 is the debug
 * console. QEMU connects its first -serial to UART0, the second to UART1. */
enum { UART_LINK = 0, UART_DEBUG = 1 };
void uart_init(int uart);
void uart_write(int uart, const uint8_t* bytes, size_t count);
/* The received byte (0..255), or -1 when none is waiting. */
int uart_read(int uart);
/* The next received byte of UART0, sleeping (WFI) until it arrives. */
uint8_t uart_link_receive(void);
void uart_print(int uart, const char* text);
void uart_print_u32(int uart, uint32_t value);
void uart_print_hex(int uart, const uint8_t* bytes, size_t count);

/* SysTick as a free-running 24-bit down-counter on the processor clock. */
void systick_start(void);
uint32_t systick_now(void);

/* 16 bytes for the session id: see entropy.c. */
void entropy_session_id(uint8_t session_id[16]);

/* Stops the emulator (semihosting exit) or, on a board, parks the CPU. */
void board_halt(void);

#endif
