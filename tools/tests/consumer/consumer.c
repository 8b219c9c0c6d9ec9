/* Uses the installed C API through pkg-config: one base table node. */
#include <dfq.h>
#include <stdio.h>

int main(void) {
  char *name[] = {"source"}, *src[] = {"sales"}, *empty[] = {""};
  char id[21] = "";
  char *out[] = {id};
  int rc = -1;
  dfq_table(name, src, empty, empty, out, &rc);
  printf("table node %s, ret_code %d\n", id, rc);
  close_dag();
  return rc;
}
