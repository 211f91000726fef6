# Entry point of the test programs: they are read, never run.
    .text
    .globl start
start:
    ret
