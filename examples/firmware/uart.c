/* Polled driver of the CMSDK APB UART (registers named as in ARM DDI 0479).
 * The UART has a one-byte buffer each way and no FIFO. */
#include "board.h"

#define UART0_BASE 0x40004000u

typedef struct {
    volatile uint32_t DATA;      /* 0x00: byte received / to send */
    volatile uint32_t STATE;     /* 0x04: bit 0 TX buffer full, bit 1 RX buffer full */
    volatile uint32_t CTRL;      /* 0x08: bit 0 TX enable, bit 1 RX enable */
    volatile uint32_t INTSTATUS; /* 0x0c */
    volatile uint32_t BAUDDIV;   /* 0x10: PCLK / baud rate, at least 16 */
} cmsdk_uart;

#define UART0 ((cmsdk_uart*)UART0_BASE)
#define STATE_TXFULL (1u << 0)
#define STATE_RXFULL (1u << 1)
#define CTRL_TXEN (1u << 0)
#define CTRL_RXEN (1u << 1)

/* 115200 baud from the boards' 25 MHz peripheral clock. */
#define PCLK_HZ 25000000u
#define BAUD 115200u

void uart_init(void) {
    UART0->BAUDDIV = PCLK_HZ / BAUD;
    UART0->CTRL = CTRL_TXEN | CTRL_RXEN;
}

void uart_write(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        while (UART0->STATE & STATE_TXFULL) {
        }
        UART0->DATA = bytes[i];
    }
}

int uart_read(void) {
    if (!(UART0->STATE & STATE_RXFULL)) return -1;
    return (int)(UART0->DATA & 0xffu);
}

void uart_print(const char* text) {
    size_t n = 0;
    while (text[n] != '\0') ++n;
    uart_write((const uint8_t*)text, n);
}

void uart_print_u32(uint32_t value) {
    char digits[10];
    size_t n = 0;
    do {
        digits[n++] = (char)('0' + value % 10u);
        value /= 10u;
    } while (value != 0);
    while (n != 0) uart_write((const uint8_t*)&digits[--n], 1);
}

void uart_print_hex(const uint8_t* bytes, size_t count) {
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
        const uint8_t pair[2] = {(uint8_t)hex[bytes[i] >> 4], (uint8_t)hex[bytes[i] & 15u]};
        uart_write(pair, 2);
    }
}
