/* Poses as a USB serial chip on a FunctionFS gadget, so that the kernel's own host driver binds
   to it and programs it as it would the real chip.

   usage: usb_chip NAME FFS_DIR UDC_FILE UDC [acm] [echo=N] [REQ:VALUE=HEX | REQ:VALUE=stall]...

   It writes the function's descriptors to FFS_DIR/ep0 (one interface with an interrupt IN, a
   bulk OUT and a bulk IN endpoint: vendor class, or CDC-ACM with `acm`), then binds the gadget by
   writing UDC into UDC_FILE. Every control request that reaches the function is logged on stdout
   as one line "NAME ctl TYPE REQ VALUE INDEX LENGTH [DATA]" (hexadecimal), before the request
   completes where it carries no data. An IN request with a matching REQ:VALUE rule is answered
   with its bytes or stalled; a class request 0x21 (GET_LINE_CODING, the PL2303's line request)
   is answered with the data of the latest 0x20; any other IN request with zeros.

   Bytes the host writes to bulk OUT are taken at about 8 KiB/s, like a fast UART, so that the
   host's queue drains. A change of the last byte taken is logged as "NAME byte XX"; a run of
   bytes followed by a pause of 200 ms as "NAME burst COUNT HEX"; after a control request that
   sends settings, the next byte taken is logged in any case. Each SIGUSR1 arms an echo of the
   next N bytes taken back to bulk IN, for a loop-back plug that closes for a set count. */
#include <endian.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define MAX_RULES 8
#define MAX_ANSWER 64
#define BURST_MAX 4096
#define BURST_PAUSE_NS 200000000LL
#define TAKE_NS_PER_BYTE 122000LL /* about 8 KiB/s */

struct rule {
  int request, value, stall, length;
  unsigned char answer[MAX_ANSWER];
};

static const char* name;
static struct rule rules[MAX_RULES];
static int rule_count;
static unsigned char line_coding[7];
static int echo_count;
static volatile sig_atomic_t echo_armed;
static volatile int settings_changed; /* the next byte taken is logged even if it is the same */
static int ep_out = -1, ep_in = -1;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static unsigned char burst[BURST_MAX];
static int burst_length, burst_total;
static long long last_data_ns;

static long long now_ns(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

/* One line, one write: lines of several processes on the same tty do not mix. */
static void log_line(const char* format, ...) {
  char line[2 * BURST_MAX + 128];
  int length = snprintf(line, sizeof line, "%s ", name);
  va_list args;
  va_start(args, format);
  length += vsnprintf(line + length, sizeof line - length - 1, format, args);
  va_end(args);
  if (length > (int)sizeof line - 2) length = sizeof line - 2;
  line[length++] = '\n';
  if (write(1, line, length) < 0) return;
}

static void hex(char* text, const unsigned char* data, int length) {
  for (int i = 0; i < length; ++i)
    sprintf(text + 2 * i, "%02x", data[i]);
  text[2 * length] = '\0';
}

static void fail(const char* what) {
  fprintf(stderr, "usb_chip %s: %s: %s\n", name, what, strerror(errno));
  exit(1);
}

/* The function's descriptors: full and high speed, with all control requests handed over. */
static void write_descriptors(int ep0, int acm) {
  struct {
    struct usb_functionfs_descs_head_v2 head;
    __le32 fs_count, hs_count;
    struct {
      struct usb_interface_descriptor interface;
      struct usb_interface_assoc_descriptor association;
      struct usb_endpoint_descriptor_no_audio notify, out, in;
    } __attribute__((packed)) fs, hs;
  } __attribute__((packed)) d;
  memset(&d, 0, sizeof d);
  d.head.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  d.head.length = htole32(sizeof d);
  d.head.flags =
      htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP);
  d.fs_count = d.hs_count = htole32(5);
  for (int speed = 0; speed < 2; ++speed) {
    __typeof__(d.fs)* s = speed ? &d.hs : &d.fs;
    s->interface.bLength = sizeof s->interface;
    s->interface.bDescriptorType = USB_DT_INTERFACE;
    s->interface.bNumEndpoints = 3;
    s->interface.bInterfaceClass = acm ? USB_CLASS_COMM : USB_CLASS_VENDOR_SPEC;
    s->interface.bInterfaceSubClass = acm ? 2 : 0; /* abstract control model */
    s->interface.bInterfaceProtocol = acm ? 1 : 0; /* AT commands (V.250) */
    /* CDC-ACM wants some descriptor after its interface; FunctionFS takes no CDC functional
       descriptors, and with none cdc_acm runs control and data on this one interface. */
    s->association.bLength = sizeof s->association;
    s->association.bDescriptorType = USB_DT_INTERFACE_ASSOCIATION;
    s->association.bInterfaceCount = 1;
    s->association.bFunctionClass = s->interface.bInterfaceClass;
    s->association.bFunctionSubClass = s->interface.bInterfaceSubClass;
    s->association.bFunctionProtocol = s->interface.bInterfaceProtocol;
    struct usb_endpoint_descriptor_no_audio* eps[3] = {&s->notify, &s->out, &s->in};
    for (int i = 0; i < 3; ++i) {
      eps[i]->bLength = sizeof *eps[i];
      eps[i]->bDescriptorType = USB_DT_ENDPOINT;
      eps[i]->bEndpointAddress = (i + 1) | (i == 1 ? USB_DIR_OUT : USB_DIR_IN);
      eps[i]->bmAttributes = i == 0 ? USB_ENDPOINT_XFER_INT : USB_ENDPOINT_XFER_BULK;
      eps[i]->wMaxPacketSize = htole16(i == 0 ? 16 : speed ? 512 : 64);
      eps[i]->bInterval = i == 0 ? (speed ? 8 : 1) : 0;
    }
  }
  struct {
    struct usb_functionfs_strings_head head;
  } __attribute__((packed))
  strings = {{htole32(FUNCTIONFS_STRINGS_MAGIC), htole32(sizeof strings), 0, 0}};
  if (write(ep0, &d, sizeof d) != sizeof d) fail("descriptors");
  if (write(ep0, &strings, sizeof strings) != sizeof strings) fail("strings");
}

static void parse_rule(const char* text) {
  struct rule* r = &rules[rule_count];
  char answer[2 * MAX_ANSWER + 1];
  if (rule_count == MAX_RULES ||
      sscanf(text, "%x:%x=%128s", (unsigned*)&r->request, (unsigned*)&r->value, answer) != 3) {
    fprintf(stderr, "usb_chip: bad rule %s\n", text);
    exit(2);
  }
  r->stall = strcmp(answer, "stall") == 0;
  for (int i = 0; !r->stall && answer[2 * i] && answer[2 * i + 1]; ++i) {
    unsigned byte;
    sscanf(answer + 2 * i, "%2x", &byte);
    r->answer[r->length++] = (unsigned char)byte;
  }
  ++rule_count;
}

static void answer_setup(int ep0, const struct usb_ctrlrequest* setup) {
  int length = le16toh(setup->wLength);
  int value = le16toh(setup->wValue);
  unsigned char data[4096];
  char text[2 * sizeof data + 1];
  if (length > (int)sizeof data) length = sizeof data;
  if (setup->bRequestType & USB_DIR_IN) {
    log_line("ctl %02x %02x %04x %04x %04x", setup->bRequestType, setup->bRequest, value,
             le16toh(setup->wIndex), length);
    memset(data, 0, length);
    if ((setup->bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS && setup->bRequest == 0x21) {
      memcpy(data, line_coding, length < 7 ? length : 7);
    }
    for (int i = 0; i < rule_count; ++i) {
      if (rules[i].request != setup->bRequest || rules[i].value != value) continue;
      if (rules[i].stall) {
        if (read(ep0, data, 0) < 0 && errno != EL2HLT) log_line("stall failed: %d", errno);
        return;
      }
      memcpy(data, rules[i].answer, rules[i].length < length ? rules[i].length : length);
    }
    if (write(ep0, data, length) < 0) log_line("answer failed: %d", errno);
    return;
  }
  settings_changed = 1;
  if (length == 0) {
    log_line("ctl %02x %02x %04x %04x 0000", setup->bRequestType, setup->bRequest, value,
             le16toh(setup->wIndex));
    if (read(ep0, data, 0) < 0) log_line("ack failed: %d", errno);
    return;
  }
  int got = read(ep0, data, length);
  if (got < 0) {
    log_line("data failed: %d", errno);
    return;
  }
  if ((setup->bRequestType & USB_TYPE_MASK) == USB_TYPE_CLASS && setup->bRequest == 0x20) {
    memcpy(line_coding, data, got < 7 ? got : 7);
  }
  hex(text, data, got);
  log_line("ctl %02x %02x %04x %04x %04x %s", setup->bRequestType, setup->bRequest, value,
           le16toh(setup->wIndex), got, text);
}

static void on_usr1(int signal) {
  (void)signal;
  echo_armed = 1;
}

static void sleep_ns(long long duration) {
  struct timespec pause = {duration / 1000000000LL, duration % 1000000000LL};
  nanosleep(&pause, NULL);
}

/* Takes what the host writes, at a UART's pace. An armed echo collects the next bytes taken
   and returns them in one write, so that they come back together whatever the scheduling. */
static void* take_bulk_out(void* unused) {
  static unsigned char echo[BURST_MAX];
  unsigned char data[512];
  int last_byte = -1, echo_left = 0, echo_length = 0;
  (void)unused;
  for (;;) {
    int got = read(ep_out, data, sizeof data);
    if (got <= 0) { /* not configured yet, or the host went away */
      sleep_ns(20000000LL);
      continue;
    }
    if (echo_armed) {
      echo_armed = 0;
      echo_left = echo_count < BURST_MAX ? echo_count : BURST_MAX;
      echo_length = 0;
    }
    int back = got < echo_left ? got : echo_left;
    memcpy(echo + echo_length, data, back);
    echo_length += back;
    echo_left -= back;
    if (back > 0 && echo_left == 0 && write(ep_in, echo, echo_length) != echo_length) {
      log_line("echo failed: %d", errno);
    }
    pthread_mutex_lock(&lock);
    int keep = got < BURST_MAX - burst_length ? got : BURST_MAX - burst_length;
    memcpy(burst + burst_length, data, keep);
    burst_length += keep;
    burst_total += got;
    last_data_ns = now_ns();
    pthread_mutex_unlock(&lock);
    if (data[got - 1] != last_byte || settings_changed) {
      settings_changed = 0;
      last_byte = data[got - 1];
      log_line("byte %02x", last_byte);
    }
    sleep_ns(got * TAKE_NS_PER_BYTE);
  }
  return NULL;
}

/* Logs a run of bytes once the host has paused after it. */
static void* watch_bursts(void* unused) {
  static char text[2 * BURST_MAX + 1];
  (void)unused;
  for (;;) {
    sleep_ns(50000000LL);
    pthread_mutex_lock(&lock);
    if (burst_total > 0 && now_ns() - last_data_ns > BURST_PAUSE_NS) {
      hex(text, burst, burst_length);
      int total = burst_total;
      burst_length = burst_total = 0;
      pthread_mutex_unlock(&lock);
      log_line("burst %d %s", total, text);
      continue;
    }
    pthread_mutex_unlock(&lock);
  }
  return NULL;
}

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr,
            "usage: usb_chip NAME FFS_DIR UDC_FILE UDC [acm] [echo=N] [REQ:VALUE=HEX|stall]...\n");
    return 2;
  }
  name = argv[1];
  int acm = 0;
  for (int i = 5; i < argc; ++i) {
    if (strcmp(argv[i], "acm") == 0) {
      acm = 1;
    } else if (strncmp(argv[i], "echo=", 5) == 0) {
      echo_count = atoi(argv[i] + 5);
    } else {
      parse_rule(argv[i]);
    }
  }
  signal(SIGUSR1, on_usr1);
  /* Some drivers give a control request 100 ms: answer ahead of the programs under test. */
  if (nice(-10) == -1 && errno != 0) log_line("keeps its priority: %d", errno);
  char path[256];
  snprintf(path, sizeof path, "%s/ep0", argv[2]);
  int ep0 = open(path, O_RDWR);
  if (ep0 < 0) fail(path);
  write_descriptors(ep0, acm);
  /* The endpoint files exist once the descriptors are in; I/O on them waits for the host. */
  snprintf(path, sizeof path, "%s/ep2", argv[2]);
  ep_out = open(path, O_RDWR);
  snprintf(path, sizeof path, "%s/ep3", argv[2]);
  ep_in = open(path, O_RDWR);
  if (ep_out < 0 || ep_in < 0) fail("endpoints");
  pthread_t taker, watcher;
  pthread_create(&taker, NULL, take_bulk_out, NULL);
  pthread_create(&watcher, NULL, watch_bursts, NULL);
  int udc = open(argv[3], O_WRONLY);
  if (udc < 0 || write(udc, argv[4], strlen(argv[4])) < 0) fail("bind");
  close(udc);
  log_line("bound");
  for (;;) {
    struct usb_functionfs_event events[4];
    int got = read(ep0, events, sizeof events);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("ep0");
    }
    for (int i = 0; i < got / (int)sizeof events[0]; ++i) {
      if (events[i].type == FUNCTIONFS_SETUP) answer_setup(ep0, &events[i].u.setup);
    }
  }
}
