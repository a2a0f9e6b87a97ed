/* A native-messaging host that does nothing, for the browser benchmark: it
 * answers the handshake as the real host does for a listed origin, and
 * every call with 0. With --wait it first sleeps the time the key protocol
 * mandates for the method, so that what remains of the real host's time
 * over it is the product's own work. Written in C so that the figures carry
 * no interpreter's cost.
 *
 *   nullhost VERSION [--wait]
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { MAX_FRAME = 1 << 20 };

static const struct { const char *method; int ms; } MANDATED[] = {
  {"GetSN", 50},         {"InitPassword", 150},       {"UpdatePassword", 650}, {"HMAC_MD5", 200},
  {"ResetDigist", 200},  {"HMAC_MD5_HexString", 200}, {"signIn", 200},        {"confirm", 200},
};

static int read_all(void *buffer, size_t size) {
  for (size_t done = 0; done < size;) {
    ssize_t got = read(0, (char *)buffer + done, size - done);
    if (got <= 0)
      return 0;
    done += (size_t)got;
  }
  return 1;
}

static int write_all(const void *buffer, size_t size) {
  for (size_t done = 0; done < size;) {
    ssize_t put = write(1, (const char *)buffer + done, size - done);
    if (put <= 0)
      return 0;
    done += (size_t)put;
  }
  return 1;
}

/* The value of "name" in a flat JSON object as raw text (a number or a
 * quoted string), or NULL. The benchmark's own requests are all this host
 * ever sees. */
static const char *field(const char *json, const char *name, size_t *length) {
  char key[64];
  snprintf(key, sizeof key, "\"%s\":", name);
  const char *at = strstr(json, key);
  if (!at)
    return NULL;
  at += strlen(key);
  const char *end = at;
  if (*end == '"') {
    end = strchr(end + 1, '"');
    if (!end)
      return NULL;
    ++end;
  } else {
    end += strcspn(end, ",}");
  }
  *length = (size_t)(end - at);
  return at;
}

static int is(const char *text, size_t length, const char *quoted) {
  return length == strlen(quoted) && memcmp(text, quoted, length) == 0;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: nullhost VERSION [--wait]\n");
    return 2;
  }
  const char *version = argv[1];
  int wait = argc > 2 && strcmp(argv[2], "--wait") == 0;
  static char request[MAX_FRAME + 1];
  static char answer[512];
  for (;;) {
    uint32_t size;
    if (!read_all(&size, sizeof size) || size > MAX_FRAME || !read_all(request, size))
      return 0;
    request[size] = '\0';
    size_t id_length = 0, method_length = 0;
    const char *id = field(request, "id", &id_length);
    const char *method = field(request, "method", &method_length);
    if (!id || id_length > 100)
      continue;
    int length;
    if (method && is(method, method_length, "\"hello\"")) {
      length = snprintf(answer + 4, sizeof answer - 4, "{\"id\":%.*s,\"result\":{\"host\":\"%s\",\"access\":\"listed\"}}",
                        (int)id_length, id, version);
    } else {
      for (size_t i = 0; wait && method && i < sizeof MANDATED / sizeof *MANDATED; ++i) {
        char quoted[64];
        snprintf(quoted, sizeof quoted, "\"%s\"", MANDATED[i].method);
        if (is(method, method_length, quoted)) {
          struct timespec pause = {MANDATED[i].ms / 1000, (MANDATED[i].ms % 1000) * 1000000L};
          nanosleep(&pause, NULL);
        }
      }
      length = snprintf(answer + 4, sizeof answer - 4, "{\"id\":%.*s,\"result\":0}", (int)id_length, id);
    }
    if (length < 0 || (size_t)length >= sizeof answer - 4)
      return 1;
    uint32_t body = (uint32_t)length;
    memcpy(answer, &body, sizeof body);
    if (!write_all(answer, 4 + body))
      return 0;
  }
}
