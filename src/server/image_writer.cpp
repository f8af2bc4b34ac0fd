#include "server/image_writer.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

namespace {

int fail(std::string* error, const char* what) {
  *error = std::string(what) + ": " + strerror(errno);
  return -1;
}

int write_all(int fd, const unsigned char* p, size_t len, int64_t offset, std::string* error) {
  while (len > 0) {
    ssize_t n = pwrite(fd, p, len, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(error, "pwrite");
    }
    if (n == 0) {
      errno = EIO;
      return fail(error, "pwrite wrote nothing");
    }
    p += n;
    len -= static_cast<size_t>(n);
    offset += n;
  }
  return 0;
}

// The zero case runs entirely under the exclusive lock: it reads the size,
// then punches and/or extends based on it, and must not interleave with a
// write that moves the end of the file.
int apply_zero_block(image_file_t* img, int64_t offset, const unsigned char* zeros, size_t len,
                     std::string* error) {
  std::unique_lock<std::shared_mutex> guard(img->size_lock);
  struct stat st;
  if (fstat(img->fd, &st) != 0) return fail(error, "fstat");
  const int64_t end = offset + static_cast<int64_t>(len);
  if (offset < st.st_size) {
    int64_t stop = end < st.st_size ? end : st.st_size;
    if (fallocate(img->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, stop - offset) != 0) {
      if (errno != EOPNOTSUPP && errno != ENOSYS) return fail(error, "fallocate punch hole");
      // No hole punching here: the range must still read back as zeros.
      if (write_all(img->fd, zeros, static_cast<size_t>(stop - offset), offset, error) != 0) return -1;
    }
  }
  if (end > st.st_size && ftruncate(img->fd, end) != 0) return fail(error, "ftruncate");
  return 0;
}

}  // namespace

bool is_all_zero(const unsigned char* p, size_t n) {
  if (n == 0) return true;
  // Comparing the buffer with itself shifted by one byte lets memcmp run at
  // full speed: equal means every byte equals the first.
  return p[0] == 0 && memcmp(p, p + 1, n - 1) == 0;
}

int image_apply_block(image_file_t* img, int64_t offset, const unsigned char* data, size_t len,
                      bool* zero, std::string* error) {
  *zero = is_all_zero(data, len);
  if (*zero) return apply_zero_block(img, offset, data, len, error);
  std::shared_lock<std::shared_mutex> guard(img->size_lock);
  return write_all(img->fd, data, len, offset, error);
}
