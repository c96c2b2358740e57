#include "player/player.h"

int main(int argc, char** argv) { return bankplay::runPlayer(argc, argv); }
