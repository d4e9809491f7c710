// Prints the sizes of the records the program shares with the kernel, for the cross runs
// (scripts/cross.sh) to check against the phone: a 32-bit ARM phone reads 16-byte input
// events and has a 32-bit time_t, a 64-bit one 24-byte events and a 64-bit time_t.
#include <linux/input.h>

#include <cstdio>
#include <ctime>

int main() {
  printf("sizeof(struct input_event) %zu\n", sizeof(struct input_event));
  printf("sizeof(time_t) %zu\n", sizeof(time_t));
  printf("sizeof(long) %zu\n", sizeof(long));
  return 0;
}
