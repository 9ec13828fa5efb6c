#pragma once
// A tiny file system that fills up: a tmpfs of a few blocks mounted on a
// fresh folder. Only root may mount, so tests check Mounted() and skip
// otherwise (CI runs as root).
#include <sys/mount.h>
#include <unistd.h>

#include <string>

#include "TempDir.h"

class TSmallDisk {
 public:
  explicit TSmallDisk(size_t bytes) {
    if (::geteuid() != 0) return;
    const std::string options = "size=" + std::to_string(bytes) + ",mode=0777";
    FMounted = ::mount("tmpfs", FDir.Dir().c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
  }
  ~TSmallDisk() {
    if (FMounted) ::umount2(FDir.Dir().c_str(), MNT_DETACH);
  }
  TSmallDisk(const TSmallDisk&) = delete;
  TSmallDisk& operator=(const TSmallDisk&) = delete;

  bool Mounted() const { return FMounted; }
  const char* SkipReason() const { return "mounting a small tmpfs needs root"; }
  std::string operator/(const std::string& name) const { return FDir / name; }
  std::string Dir() const { return FDir.Dir(); }

 private:
  TTempDir FDir;
  bool FMounted = false;
};
