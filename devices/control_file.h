// A kernel control file (sysfs) opened for one write: for reading and writing with
// truncation, never created, and closed again when the owner goes.
#pragma once

class ControlFile {
 public:
  explicit ControlFile(const char* path);
  ~ControlFile();
  ControlFile(const ControlFile&) = delete;
  ControlFile& operator=(const ControlFile&) = delete;

  bool is_open() const { return fd_ >= 0; }
  // Writes exactly the characters of `text` (no newline, no final zero); false when the
  // write fails. A short write counts as written.
  bool write_text(const char* text);

 private:
  int fd_;
};
