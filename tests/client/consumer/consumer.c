/* A client application's hand-over through the C interface, built by a C
 * compiler with pkg-config's flags: looks for the last upgrade's record (none
 * is no failure), waits for the upgrader it has just started, then hands it
 * the URL.
 *
 *   consumer_c URL    as consumer.cpp
 */
#include <brisvane/upgrade_client.h>

#include <stdio.h>

int main(int argc, char** argv) {
  char reason[512];
  int32_t reply = -1;
  int status;
  if (argc != 2) {
    fputs("usage: consumer_c URL\n", stderr);
    return 1;
  }
  if (brisvane_read_last_upgrade(NULL, reason, sizeof reason) == BRISVANE_RECORD_UNREADABLE) {
    fprintf(stderr, "consumer_c: %s\n", reason);
    return 1;
  }
  if (!brisvane_wait_for_upgrader(20000, reason, sizeof reason)) {
    fprintf(stderr, "consumer_c: %s\n", reason);
    return 2;
  }
  status = brisvane_hand_over_upgrade(argv[1], 10000, &reply, reason, sizeof reason);
  if (status != BRISVANE_REPLIED) {
    fprintf(stderr, "consumer_c: %s (outcome %d)\n", reason, status);
    return 1;
  }
  printf("reply: %d\n", (int)reply);
  return reply == 0 ? 0 : 1;
}
