/* Programs with a known instruction count for the instruction counter's test, without any C
 * library: _start is all there is. One of three, chosen at build time:
 *   COUNTED_EXIT  7 instructions, one of them a rep movsb of 64 bytes (70 single steps), then exit;
 *   COUNTED_EXEC  5 instructions, the last the execve of /bin/true;
 *   COUNTED_FORK  the parent forks (2), tests and branches (2), waits (6) and exits (3): 13; the
 *                 child tests and branches (2), then executes /bin/true (5): 7. */
#if defined(COUNTED_EXIT)
__asm__(
    ".globl _start\n"
    "_start:\n"
    "  lea buffer(%rip), %rdi\n"
    "  lea buffer+64(%rip), %rsi\n"
    "  mov $64, %ecx\n"
    "  rep movsb\n"
    "  mov $60, %eax\n"
    "  xor %edi, %edi\n"
    "  syscall\n"
    ".bss\n"
    "buffer: .zero 128\n");
#elif defined(COUNTED_EXEC)
__asm__(
    ".globl _start\n"
    "_start:\n"
    "  lea path(%rip), %rdi\n"
    "  lea argv(%rip), %rsi\n"
    "  xor %edx, %edx\n"
    "  mov $59, %eax\n"
    "  syscall\n"
    "  mov $60, %eax\n" /* reached only when the exec failed: exit 127 */
    "  mov $127, %edi\n"
    "  syscall\n"
    ".data\n"
    "path: .asciz \"/bin/true\"\n"
    ".balign 8\n"
    "argv: .quad path, 0\n");
#elif defined(COUNTED_FORK)
__asm__(
    ".globl _start\n"
    "_start:\n"
    "  mov $57, %eax\n"
    "  syscall\n"
    "  test %eax, %eax\n"
    "  jz child\n"
    "  mov %eax, %edi\n"
    "  xor %esi, %esi\n"
    "  xor %edx, %edx\n"
    "  xor %r10d, %r10d\n"
    "  mov $61, %eax\n"
    "  syscall\n"
    "  mov $60, %eax\n"
    "  xor %edi, %edi\n"
    "  syscall\n"
    "child:\n"
    "  lea path(%rip), %rdi\n"
    "  lea argv(%rip), %rsi\n"
    "  xor %edx, %edx\n"
    "  mov $59, %eax\n"
    "  syscall\n"
    "  mov $60, %eax\n"
    "  mov $127, %edi\n"
    "  syscall\n"
    ".data\n"
    "path: .asciz \"/bin/true\"\n"
    ".balign 8\n"
    "argv: .quad path, 0\n");
#else
#error "define COUNTED_EXIT, COUNTED_EXEC or COUNTED_FORK"
#endif
