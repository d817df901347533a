#include "operations/Registry.h"

#include "download/DownloadRequest.h"
#include "fs/FileSystemDownload.h"
#include "target/Connection.h"

namespace veska::operations {

app::DlgOperations AllOperations() {
  app::DlgOperations operations;
  target::AddOperations(operations);    // START
  download::AddOperations(operations);  // Download, Checksum
  fs::AddOperations(operations);        // Format
  return operations;
}

}  // namespace veska::operations
