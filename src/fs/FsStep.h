#pragma once

namespace veska::fs {

// What reply the file-system download waits for; Ended stops it. The image transfer also sets
// Ended when it fails, so that a file-system download in progress does not go on.
enum class FsStep : int {
  WaitFormat,
  WaitFormatError,
  WaitMount,
  WaitChecksum,
  WaitTime,
  WaitDirEcho,
  WaitDirCreated,
  WaitVersion,
  WaitReleaseVersion,
  WaitFileEcho,
  WaitChunk,
  WaitFileWritten,
  WaitComplete,
  WaitUnmount,
  Ended,
};

}  // namespace veska::fs
