#include "tests/efi/kvlist.h"

#include "disk/model.h"
#include "platform/console.h"
#include "platform/disks.h"
#include "platform/globals.h"
#include "platform/memory.h"
#include "platform/strbuf.h"
#include "platform/volumes.h"

namespace kv {

namespace {

void find_loaded_image() {
    EFI_GUID guid = EFI_LOADED_IMAGE_PROTOCOL_GUID;
    EFI_LOADED_IMAGE_PROTOCOL* image = nullptr;
    if (EFI_ERROR(g_bs->HandleProtocol(g_image, &guid, (VOID**)&image))) image = nullptr;
    g_loaded_image = image;
}

void put_line(StrBuf* line) {
    strbuf_putc(line, '\n');
    console_write(line->data, line->len);
    line->len = 0;
}

} // namespace

void kvlist_print() {
    find_loaded_image();
    StrBuf line;
    strbuf_init(&line);
    strbuf_append_str(&line, "kvlist start");
    put_line(&line);

    Disk* disks = nullptr;
    int disk_count = discover_disks(&disks);
    for (int i = 0; i < disk_count; i++) {
        const Disk& d = disks[i];
        strbuf_appendf(&line, "disk %s kind=%s size=%llu bs=%u ro=%d here=%d path=%s", d.name,
                       d.kind_label, (unsigned long long)d.size_bytes,
                       (unsigned)d.access.block_size, d.read_only ? 1 : 0, d.started_here ? 1 : 0,
                       d.device_path);
        put_line(&line);
    }
    release_disks();

    volume_scan();
    for (int i = 0; i < volume_count(); i++) {
        const Volume* v = volume_at(i);
        strbuf_appendf(&line, "volume %s label=\"%s\" ro=%d removable=%d boot=%d path=%s", v->name,
                       v->label, v->read_only ? 1 : 0, v->removable ? 1 : 0,
                       boot_volume() == i ? 1 : 0, v->device_path);
        put_line(&line);
    }
    volume_release();

    strbuf_append_str(&line, "kvlist done");
    put_line(&line);
    strbuf_free(&line);
}

} // namespace kv
