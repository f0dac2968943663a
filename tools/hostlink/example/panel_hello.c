/* Says hello to a panel: its identity, then, given a JPEG file, takes the
 * panel over and shows the picture.
 *
 *   panel_hello DEVICE [PICTURE.jpg]
 *
 * Build: see CMakeLists.txt here, or
 *   cc panel_hello.c $(pkg-config --cflags --libs panelhost)
 */
#include <panelhost.h>
#include <stdio.h>
#include <stdlib.h>

static int fail(panelhost* h, const char* what) {
  fprintf(stderr, "panel_hello: %s: %s\n", what, panelhost_error(h));
  panelhost_close(h);
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: panel_hello DEVICE [PICTURE.jpg]\n");
    return 2;
  }
  panelhost* h = panelhost_open(argv[1]);
  if (!h) {
    perror(argv[1]);
    return 1;
  }
  char id[26];
  if (panelhost_identity(h, id) != 0) return fail(h, "identity");
  printf("panelhost %s, device %s\n", panelhost_version(), id);

  if (argc > 2) {
    FILE* f = fopen(argv[2], "rb");
    if (!f) {
      perror(argv[2]);
      panelhost_close(h);
      return 1;
    }
    static unsigned char jpeg[PANELHOST_BULK_MAX];
    size_t n = fread(jpeg, 1, sizeof jpeg, f);
    int whole = !ferror(f) && (feof(f) || fgetc(f) == EOF);
    fclose(f);
    if (!whole) {
      fprintf(stderr, "panel_hello: %s: unreadable or larger than %d bytes\n", argv[2],
              PANELHOST_BULK_MAX);
      panelhost_close(h);
      return 1;
    }
    if (panelhost_take_over(h, 10000) != 0) return fail(h, "take over");
    if (panelhost_show_jpeg(h, jpeg, n) != 0) return fail(h, "show");
    printf("showed %s (%zu bytes)\n", argv[2], n);
  }
  panelhost_close(h);
  return 0;
}
