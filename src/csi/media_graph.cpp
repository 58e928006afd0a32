#include "csi/media_graph.h"

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "csi/csi_host_profile.h"
#include "csi/v4l2_requests.h"
#include "log/log.h"

namespace Quorvan {

namespace {

KernelDescriptor openMediaDevice(KernelInterface& kernel, uint32_t major_number,
                                 uint32_t minor_number) {
    char directory[64];
    std::snprintf(directory, sizeof(directory), "/sys/dev/char/%u:%u/device", major_number,
                  minor_number);
    std::vector<std::string> entries;
    if (kernel.listDirectory(directory, entries) != 0)
        return {};
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        if (entry->compare(0, 5, "media") != 0)
            continue;
        char path[80];
        const int length = std::snprintf(path, sizeof(path), "/dev/%s", entry->c_str());
        // A name too long for the path ends the search rather than opening
        // a truncated one.
        if (length < 0 || static_cast<size_t>(length) >= sizeof(path))
            return {};
        const int handle = kernel.open(path, O_RDWR);
        if (handle >= 0)
            return KernelDescriptor(kernel, handle);
    }
    return {};
}

}  // namespace

std::string entityName(const media_entity_desc& entity) {
    return std::string(entity.name, strnlen(entity.name, sizeof(entity.name)));
}

MediaGraph::MediaGraph(KernelInterface& kernel, uint32_t major_number, uint32_t minor_number)
    : kernel(kernel), media(openMediaDevice(kernel, major_number, minor_number)) {}

int MediaGraph::enumerate(media_entity_desc& entity, Attempts attempts) const {
    return issueRequest(kernel, media.get(), request::kEnumerateEntities, attempts, &entity);
}

int MediaGraph::deviceInfo(media_device_info* info) const {
    const int result =
        issueRequest(kernel, media.get(), request::kMediaDeviceInfo, Attempts::Single, info);
    return result < 0 ? result : 0;
}

uint32_t MediaGraph::findEntity(const char* name) const {
    uint32_t found = kNoEntity;
    // Single attempts: finding the route's two ends happens once per open,
    // and a failure only means the route is not enabled.
    forEachEntity(Attempts::Single, [&](const media_entity_desc& entity, const std::string& text) {
        if (text != name)
            return true;
        found = entity.id;
        return false;
    });
    // Worded as perror would have it: the text of whatever errno the search
    // left behind.
    if (found == kNoEntity)
        QUORVAN_LOGF(Csi, Error, "Query entity failed: %s", std::strerror(errno));
    return found;
}

int MediaGraph::enableRoute(const ReceiverRoute& route) const {
    media_link_desc link{};
    link.source.entity = findEntity(route.source_entity);
    link.source.index = static_cast<uint16_t>(route.source_pad);
    link.source.flags = MEDIA_PAD_FL_SOURCE;
    link.sink.entity = findEntity(route.sink_entity);
    link.sink.index = 0;
    link.sink.flags = MEDIA_PAD_FL_SINK;
    link.flags = MEDIA_LNK_FL_ENABLED;
    // Single attempt: a link the driver refuses once it refuses again.
    const int result =
        issueRequest(kernel, media.get(), request::kSetupLink, Attempts::Single, &link);
    return result < 0 ? result : 0;
}

}  // namespace Quorvan
