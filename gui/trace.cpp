#include "gui/trace.h"

#include <stdint.h>

#include "platform/efi_protocols.h"
#include "platform/format.h"
#include "platform/globals.h"
#include "platform/memory.h"
#include "platform/strings.h"
#include "platform/utf.h"

namespace kv {

namespace {

constexpr char kPrefix[] = "gui: ";
constexpr size_t kPrefixLength = sizeof kPrefix - 1;
constexpr size_t kNodeHeader = 4;
constexpr uint8_t kUartSubtype = MSG_UART_DP;

// 64 bytes take 5.6 ms at 115200 baud: the longest a key can wait for the
// port while the event loop drains.
constexpr size_t kDrainSlice = 64;

bool g_port_looked_up;
EFI_SERIAL_IO_PROTOCOL* g_port;

// The waiting bytes: a ring of kTraceQueueBound bytes, taken when a line
// first waits and given back whenever the ring empties.
struct Queue {
    char* ring;
    size_t head; // the oldest byte
    size_t count;
};
Queue g_queue;

size_t node_length(const uint8_t* node) {
    return size_t(node[2]) | size_t(node[3]) << 8;
}

bool is_end_entire(const uint8_t* node) {
    return node[0] == END_DEVICE_PATH_TYPE && node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE;
}

// Where a walk of the variable's nodes stops: at the end node, or at the
// first node that is too short or runs past the end.
size_t walk_stop(const uint8_t* path, size_t size) {
    size_t at = 0;
    while (size - at >= kNodeHeader) {
        size_t length = node_length(path + at);
        if (length < kNodeHeader || length > size - at || is_end_entire(path + at)) return at;
        at += length;
    }
    return at;
}

EFI_SERIAL_IO_PROTOCOL* serial_of_instance(uint8_t* instance) {
    EFI_GUID serial_guid = EFI_SERIAL_IO_PROTOCOL_GUID;
    EFI_DEVICE_PATH_PROTOCOL* rest = reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL*>(instance);
    EFI_HANDLE handle = nullptr;
    if (EFI_ERROR(g_bs->LocateDevicePath(&serial_guid, &rest, &handle))) return nullptr;
    EFI_SERIAL_IO_PROTOCOL* port = nullptr;
    if (EFI_ERROR(g_bs->HandleProtocol(handle, &serial_guid, (VOID**)&port))) return nullptr;
    return port;
}

// The Serial I/O of the first console instance that runs over a UART.
EFI_SERIAL_IO_PROTOCOL* find_port() {
    EFI_GUID global = EFI_GLOBAL_VARIABLE_GUID;
    CHAR16 name[] = u"ConOut";
    UINTN size = 0;
    if (g_rt->GetVariable(name, &global, nullptr, &size, nullptr) != EFI_BUFFER_TOO_SMALL)
        return nullptr;
    // Room for an end node after the variable's bytes, see below.
    uint8_t* path = static_cast<uint8_t*>(xmalloc(size + kNodeHeader));
    if (EFI_ERROR(g_rt->GetVariable(name, &global, nullptr, &size, path))) {
        free(path);
        return nullptr;
    }
    // The firmware walks an instance handed to LocateDevicePath up to its
    // end node; a variable whose nodes break off would let it read past the
    // buffer, so the path is closed where the program's own walk stops.
    size_t stop = walk_stop(path, size);
    path[stop] = END_DEVICE_PATH_TYPE;
    path[stop + 1] = END_ENTIRE_DEVICE_PATH_SUBTYPE;
    path[stop + 2] = kNodeHeader;
    path[stop + 3] = 0;

    EFI_SERIAL_IO_PROTOCOL* port = nullptr;
    size_t instance = 0;
    for (size_t at = 0; at < stop;) {
        const uint8_t* node = path + at;
        size_t length = node_length(node);
        if (node[0] == END_DEVICE_PATH_TYPE) {
            instance = at + length;
        } else if (node[0] == MESSAGING_DEVICE_PATH && node[1] == kUartSubtype) {
            port = serial_of_instance(path + instance);
            if (port) break;
        }
        at += length;
    }
    free(path);
    return port;
}

EFI_SERIAL_IO_PROTOCOL* port() {
    if (!g_port_looked_up) {
        g_port_looked_up = true;
        g_port = find_port();
    }
    return g_port;
}

// Results are not looked at: a port that fails loses the bytes, as a line
// that nobody reads would.
void send(const char* bytes, size_t n) {
    UINTN size = n;
    g_port->Write(g_port, &size, const_cast<char*>(bytes));
}

// Writes up to `max` of the oldest waiting bytes, in one piece that does
// not wrap around the end of the ring.
void send_oldest(size_t max) {
    size_t n = g_queue.count;
    if (n > kTraceQueueBound - g_queue.head) n = kTraceQueueBound - g_queue.head;
    if (n > max) n = max;
    send(g_queue.ring + g_queue.head, n);
    g_queue.head = (g_queue.head + n) % kTraceQueueBound;
    g_queue.count -= n;
    if (g_queue.count == 0) {
        free(g_queue.ring);
        g_queue = Queue{};
    }
}

void send_all() {
    while (g_queue.count > 0)
        send_oldest(kTraceQueueBound);
}

void enqueue(const char* bytes, size_t n) {
    while (g_queue.count > 0 && kTraceQueueBound - g_queue.count < n)
        send_oldest(kTraceQueueBound);
    if (!g_queue.ring) {
        // Without room to wait in, the line goes out at once.
        g_queue.ring = static_cast<char*>(malloc(kTraceQueueBound));
        if (!g_queue.ring) {
            send(bytes, n);
            return;
        }
    }
    for (size_t i = 0; i < n; i++)
        g_queue.ring[(g_queue.head + g_queue.count + i) % kTraceQueueBound] = bytes[i];
    g_queue.count += n;
}

} // namespace

void vtrace(const char* format, va_list args) {
    // One byte past the kept text so that the cut can see whether it falls
    // inside a character, or the line end.
    char line[kPrefixLength + kTraceTextMax + 2];
    memcpy(line, kPrefix, kPrefixLength);
    char* text = line + kPrefixLength;
    int full = vformat(text, kTraceTextMax + 2, format, args);
    size_t length = full < 0 ? 0 : size_t(full);
    if (length > kTraceTextMax + 1) length = kTraceTextMax + 1;
    length = utf8_cut(text, length, kTraceTextMax);
    // Texts from disks are untrusted: a carriage return or line feed in a
    // partition name would otherwise forge whole lines for the observer.
    for (size_t i = 0; i < length; i++)
        if (uint8_t(text[i]) < 0x20 || text[i] == 0x7F) text[i] = ' ';
    text[length] = '\r';
    text[length + 1] = '\n';
    if (port()) enqueue(line, kPrefixLength + length + 2);
}

void trace(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vtrace(format, args);
    va_end(args);
}

bool trace_pending() {
    return g_queue.count > 0;
}

void trace_drain() {
    if (g_queue.count > 0) send_oldest(kDrainSlice);
}

void trace_flush() {
    send_all();
}

void trace_reset() {
    free(g_queue.ring);
    g_queue = Queue{};
    g_port_looked_up = false;
    g_port = nullptr;
}

} // namespace kv
