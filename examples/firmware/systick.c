/* SysTick (ARMv7-M architecture reference, B3.3) counting processor clocks,
 * no interrupt; and the stop of the program. */
#include "board.h"

#define SYST_CSR (*(volatile uint32_t*)0xE000E010u)
#define SYST_RVR (*(volatile uint32_t*)0xE000E014u)
#define SYST_CVR (*(volatile uint32_t*)0xE000E018u)
#define CSR_ENABLE (1u << 0)
#define CSR_CLKSOURCE_CPU (1u << 2)

void systick_start(void) {
    SYST_CSR = 0;
    SYST_RVR = 0x00ffffffu;
    SYST_CVR = 0; /* any write clears it: the count restarts from the reload value */
    SYST_CSR = CSR_ENABLE | CSR_CLKSOURCE_CPU;
}

uint32_t systick_now(void) { return SYST_CVR; }

/* Semihosting SYS_EXIT with ADP_Stopped_ApplicationExit: QEMU started with
 * -semihosting ends; without a debugger or emulator the core stops at the
 * breakpoint, which is where a board should stop anyway. */
void board_halt(void) {
    register uint32_t operation __asm__("r0") = 0x18u;
    register uint32_t reason __asm__("r1") = 0x20026u;
    __asm__ volatile("bkpt #0xab" : : "r"(operation), "r"(reason) : "memory");
    for (;;) {
    }
}
