/* Reset and exception entry for a Cortex-M: the vector table, the copy of
 * .data and the zeroing of .bss, then main. Nothing else runs before main. */
#include <stdint.h>
#include <string.h>

#include "board.h"

extern uint32_t __data_load[], __data_start[], __data_end[], __bss_start[], __bss_end[];
extern uint32_t __stack_top[];

int main(void);
void reset_handler(void);

/* A fault stops the board where a debugger can see it. */
static void fault_handler(void) {
    for (;;) __asm__ volatile("bkpt #0");
}

typedef void (*vector)(void);

__attribute__((section(".vectors"), used)) static const vector vector_table[16] = {
    (vector)(uintptr_t)__stack_top, /* initial stack pointer */
    reset_handler,
    fault_handler, /* NMI */
    fault_handler, /* HardFault */
    fault_handler, /* MemManage */
    fault_handler, /* BusFault */
    fault_handler, /* UsageFault */
    0,
    0,
    0,
    0,
    fault_handler, /* SVCall */
    fault_handler, /* DebugMonitor */
    0,
    fault_handler, /* PendSV */
    fault_handler, /* SysTick: never enabled with its interrupt */
};

void reset_handler(void) {
    memcpy(__data_start, __data_load, (size_t)((char*)__data_end - (char*)__data_start));
    memset(__bss_start, 0, (size_t)((char*)__bss_end - (char*)__bss_start));
    main();
    board_halt();
}

/* What the C library would otherwise provide and morvex_security needs:
 * abort, reached only on a broken internal invariant. */
void abort(void) {
    fault_handler();
    for (;;) {
    }
}
