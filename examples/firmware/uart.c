/* Polled driver of the CMSDK APB UART (registers named as in ARM DDI 0479).
 * The UART has a one-byte buffer each way and no FIFO. */
#include "board.h"

#define UART0_BASE 0x40004000u /* UART1 follows 0x1000 higher */

typedef struct {
    volatile uint32_t DATA;      /* 0x00: byte received / to send */
    volatile uint32_t STATE;     /* 0x04: bit 0 TX buffer full, bit 1 RX buffer full */
    volatile uint32_t CTRL;      /* 0x08: bit 0 TX enable, bit 1 RX enable */
    volatile uint32_t INTSTATUS; /* 0x0c */
    volatile uint32_t BAUDDIV;   /* 0x10: PCLK / baud rate, at least 16 */
} cmsdk_uart;

static cmsdk_uart* port(int uart) { return (cmsdk_uart*)(UART0_BASE + 0x1000u * (uint32_t)uart); }
#define STATE_TXFULL (1u << 0)
#define STATE_RXFULL (1u << 1)
#define CTRL_TXEN (1u << 0)
#define CTRL_RXEN (1u << 1)
#define CTRL_RXINTEN (1u << 3)
#define INTSTATUS_RX (1u << 1) /* write 1 to clear */

/* The NVIC (ARMv7-M architecture reference, B3.4): UART0's receive interrupt is
 * the boards' interrupt 0. */
#define NVIC_ISER0 (*(volatile uint32_t*)0xE000E100u)
#define NVIC_ICPR0 (*(volatile uint32_t*)0xE000E280u)
#define UART0_RX_IRQ 0u

/* 115200 baud from the boards' 25 MHz peripheral clock. */
#define PCLK_HZ 25000000u
#define BAUD 115200u

void uart_init(int uart) {
    port(uart)->BAUDDIV = PCLK_HZ / BAUD;
    port(uart)->CTRL = CTRL_TXEN | CTRL_RXEN | (uart == UART_LINK ? CTRL_RXINTEN : 0u);
    if (uart == UART_LINK) {
        /* The receive interrupt only wakes the core from WFI: with PRIMASK set it
         * stays pending and no handler runs. */
        __asm__ volatile("cpsid i" : : : "memory");
        NVIC_ISER0 = 1u << UART0_RX_IRQ;
    }
}

void uart_write(int uart, const uint8_t* bytes, size_t count) {
    cmsdk_uart* const u = port(uart);
    for (size_t i = 0; i < count; ++i) {
        while (u->STATE & STATE_TXFULL) {
        }
        u->DATA = bytes[i];
    }
}

int uart_read(int uart) {
    cmsdk_uart* const u = port(uart);
    if (!(u->STATE & STATE_RXFULL)) return -1;
    return (int)(u->DATA & 0xffu);
}

/* Byte by byte: a length loop would be compiled into a call of strlen. */
/* Sleeping instead of polling lets a core save power, and lets an emulator's
 * I/O thread deliver the next byte instead of contending with a spinning core. */
uint8_t uart_link_receive(void) {
    cmsdk_uart* const u = port(UART_LINK);
    for (;;) {
        const int received = uart_read(UART_LINK);
        if (received >= 0) return (uint8_t)received;
        /* Clear the interrupt, look once more, then sleep: a byte that arrives after
         * the look leaves the interrupt pending, and WFI returns at once. */
        u->INTSTATUS = INTSTATUS_RX;
        NVIC_ICPR0 = 1u << UART0_RX_IRQ;
        if (u->STATE & STATE_RXFULL) continue;
        __asm__ volatile("wfi" : : : "memory");
    }
}

void uart_print(int uart, const char* text) {
    for (; *text != '\0'; ++text) uart_write(uart, (const uint8_t*)text, 1);
}

void uart_print_u32(int uart, uint32_t value) {
    char digits[10];
    size_t n = 0;
    do {
        digits[n++] = (char)('0' + value % 10u);
        value /= 10u;
    } while (value != 0);
    while (n != 0) uart_write(uart, (const uint8_t*)&digits[--n], 1);
}

void uart_print_hex(int uart, const uint8_t* bytes, size_t count) {
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
        const uint8_t pair[2] = {(uint8_t)hex[bytes[i] >> 4], (uint8_t)hex[bytes[i] & 15u]};
        uart_write(uart, pair, 2);
    }
}
