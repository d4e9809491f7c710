// The ring player on the phone: the Linux platform, then the player.
#include "platform/platform.h"
#include "player/ring_player.h"

int main(int argc, char** argv) {
  set_platform(Platform::Default());
  return ring_player_main(argc, argv);
}
