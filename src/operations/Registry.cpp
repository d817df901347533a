#include "operations/Registry.h"

#include <vector>

#include "download/DownloadButtons.h"
#include "dump/DumpButton.h"
#include "dump/ReadBackVerify.h"
#include "explorer/TfsExplorer.h"
#include "fs/FsButtons.h"
#include "target/TargetButtons.h"

namespace veska::operations {

namespace {

// The download reads its images back through the dump's request (when asked to).
int VerifyDownload(const app::EngineContext& engine, const download::DownloadInputs& inputs,
                   std::span<const app::ImageKind> written) {
  std::vector<dump::ImageToVerify> images;
  for (const app::ImageKind kind : written) {
    images.push_back({kind, inputs.Image(kind).path, inputs.Image(kind).size});
  }
  return dump::VerifyWritten(engine, images);
}

}  // namespace

app::DlgOperations AllOperations() {
  app::DlgOperations operations;
  target::AddOperations(operations);            // START
  target::AddBootloaderOperations(operations);  // D / L Bootloader, NAND Erase, Bootloader Erase
  download::DownloadHooks downloadHooks;
  downloadHooks.writers.verify = VerifyDownload;
  download::AddOperations(operations, downloadHooks);  // Download, Checksum
  fs::AddOperations(operations);                       // Format
  dump::AddOperations(operations);                     // NAND Dump
  explorer::AddOperations(operations);                 // TFS Explorer
  return operations;
}

}  // namespace veska::operations
