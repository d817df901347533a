#pragma once

namespace veska::fs {

// What reply the file-system download waits for; Ended stops it.
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
