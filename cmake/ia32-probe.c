/* Says whether this machine runs 32-bit x86 code: far-calls into the 32-bit user
   code segment (selector 0x23) and back. Prints "yes" (exit 0) or "no" (exit 1).
   Where the kernel refuses 32-bit code the far call dies with a fault, which is
   caught. Built with -no-pie: the far call pushes a 32-bit return address, so this
   code must sit below 4 GiB; the 32-bit side uses only ESP, so the stack is
   switched to a page below 4 GiB for the call. */
#define _GNU_SOURCE
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>

static sigjmp_buf escape;

static void on_fault(int sig) {
  siglongjmp(escape, sig);
}

int main(void) {
  unsigned char* page = mmap(NULL, 65536, PROT_READ | PROT_WRITE | PROT_EXEC,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  if (page == MAP_FAILED) {
    puts("no");
    return 1;
  }
  page[0] = 0xCB; /* lret: back to the 64-bit caller */
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_fault;
  sa.sa_flags = SA_ONSTACK;
  /* The handler must not run on the 32-bit stack: give it its own. */
  static unsigned char altstack[65536];
  stack_t ss = {.ss_sp = altstack, .ss_size = sizeof altstack, .ss_flags = 0};
  sigaltstack(&ss, NULL);
  sigaction(SIGSEGV, &sa, NULL);
  sigaction(SIGBUS, &sa, NULL);
  sigaction(SIGILL, &sa, NULL);
  if (sigsetjmp(escape, 1) != 0) {
    puts("no");
    return 1;
  }
  static volatile struct {
    unsigned int offset;
    unsigned short selector;
  } __attribute__((packed)) target;
  target.offset = (unsigned int)(unsigned long)page;
  target.selector = 0x23;
  unsigned long stack_top = (unsigned long)page + 65536 - 16;
  __asm__ volatile(
      "mov %%rsp, %%r12\n\t"
      "mov %0, %%rsp\n\t"
      "lcall *(%1)\n\t"
      "mov %%r12, %%rsp\n\t"
      :
      : "r"(stack_top), "r"(&target)
      : "r12", "memory", "cc");
  puts("yes");
  return 0;
}
