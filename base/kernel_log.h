// Diagnostics to the kernel log, through a message-device node made and removed at start.
#pragma once

extern int g_kernel_log_fd;

constexpr int KERNEL_LOG_BUFFER_SIZE = 512;
constexpr char KERNEL_LOG_NODE[] = "/dev/__kmsg__";
// The kernel's own message device, where the node cannot be made for want of the right.
constexpr char KERNEL_LOG_DEVICE[] = "/dev/kmsg";

void kernel_log_open();
void kernel_log_write(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

void kernel_log_reset();  // tests: close the log
