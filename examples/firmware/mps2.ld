/* Memory of QEMU's mps2-an385 (Cortex-M3) and mps2-an386 (Cortex-M4) boards:
 * ZBT SSRAM1 at 0 holds the program (as flash would), ZBT SSRAM2/3 at
 * 0x20000000 the data. Vector table first, at 0. */
MEMORY
{
    FLASH (rx)  : ORIGIN = 0x00000000, LENGTH = 4M
    RAM   (rwx) : ORIGIN = 0x20000000, LENGTH = 4M
}

ENTRY(reset_handler)

STACK_SIZE = 0x2000;

SECTIONS
{
    .text :
    {
        KEEP(*(.vectors))
        *(.text .text.*)
        *(.rodata .rodata.*)
        . = ALIGN(4);
    } > FLASH

    /* Initial values of .data, copied to RAM at reset. */
    __data_load = LOADADDR(.data);
    .data : ALIGN(4)
    {
        __data_start = .;
        *(.data .data.*)
        . = ALIGN(4);
        __data_end = .;
    } > RAM AT > FLASH

    .bss (NOLOAD) : ALIGN(4)
    {
        __bss_start = .;
        *(.bss .bss.* COMMON)
        . = ALIGN(4);
        __bss_end = .;
    } > RAM

    .stack (NOLOAD) : ALIGN(8)
    {
        __stack_limit = .;
        . += STACK_SIZE;
        __stack_top = .;
    } > RAM

    /* Filled by the emulator before reset (see entropy.c); never zeroed. */
    .entropy_seed (NOLOAD) : ALIGN(8)
    {
        KEEP(*(.entropy_seed))
    } > RAM

    /DISCARD/ : { *(.ARM.exidx*) *(.ARM.extab*) *(.comment) }
}
