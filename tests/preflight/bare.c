/* A program or plug-in with no library at all: what matters is its header
   (machine, ISA level, ABI flags). */
void __start(void) {
  for (;;) {
  }
}
