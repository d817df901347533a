#include "operations/Registry.h"

#include "download/DownloadRequest.h"
#include "dump/NandDump.h"
#include "dump/ReadBackVerify.h"
#include "explorer/TfsExplorer.h"
#include "fs/FileSystemDownload.h"
#include "target/Bootloader.h"
#include "target/Connection.h"

namespace veska::operations {

app::DlgOperations AllOperations() {
  app::DlgOperations operations;
  target::AddOperations(operations);            // START
  target::AddBootloaderOperations(operations);  // D / L Bootloader, NAND Erase, Bootloader Erase
  // The download reads its images back through the dump's request (when asked to).
  download::DownloadHooks downloadHooks;
  downloadHooks.writers.verify = dump::VerifyWritten;
  download::AddOperations(operations, downloadHooks);  // Download, Checksum
  fs::AddOperations(operations);                       // Format
  dump::AddOperations(operations);                     // NAND Dump
  explorer::AddOperations(operations);                 // TFS Explorer
  return operations;
}

}  // namespace veska::operations
