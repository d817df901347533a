#include "cli/CliSession.h"

int main(int argc, char** argv) {
  return veska::cli::CliMain(argc, argv);
}
