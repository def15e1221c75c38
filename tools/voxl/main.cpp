// voxl: the command-line host of the VOXL310K recorder.
#include <CLI/CLI.hpp>

int main(int argc, char** argv) {
  CLI::App app{"voxl - record, play and edit sound with the VOXL310K library"};
  app.require_subcommand(1);
  CLI11_PARSE(app, argc, argv);
  return 0;
}
