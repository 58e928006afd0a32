// The media device of a capture pipeline (/dev/mediaN): its entities in the
// kernel's id order and the links between them.
#pragma once

#include <linux/media.h>

#include <cstdint>
#include <string>

#include "system/kernel_descriptor.h"
#include "system/kernel_request.h"

namespace Quorvan {

struct ReceiverRoute;

class MediaGraph {
public:
    static constexpr uint32_t kNoEntity = 0xFFFFFFFFu;

    // Opens the media device of the character device major:minor (the
    // capture node): the entries of its sysfs device directory, last first,
    // whose names begin with "media". The graph is invalid when none opens.
    MediaGraph(KernelInterface& kernel, uint32_t major_number, uint32_t minor_number);

    bool isValid() const { return media.isOpen(); }

    // Calls visit(entity, name) for each entity in id order until visit
    // returns false. The enumeration ends at the first failing request
    // (EINVAL past the last entity is the normal end); its result, minus
    // errno, is returned, or 0 when visit stopped it. Ids that do not grow
    // end it too, so a confused driver cannot make it loop forever.
    template <typename Visit>
    int forEachEntity(Attempts attempts, Visit visit) const;

    // The id of the entity named exactly `name`, or kNoEntity after a
    // "Query entity failed" message.
    uint32_t findEntity(const char* name) const;

    // The media device's driver, model, serial and bus. 0 or minus errno.
    int deviceInfo(media_device_info* info) const;

    // Enables the link of `route`. 0 or minus errno.
    int enableRoute(const ReceiverRoute& route) const;

private:
    int enumerate(media_entity_desc& entity, Attempts attempts) const;

    KernelInterface& kernel;
    KernelDescriptor media;
};

// An entity name as a terminated string, whatever the driver filled in.
std::string entityName(const media_entity_desc& entity);

template <typename Visit>
int MediaGraph::forEachEntity(Attempts attempts, Visit visit) const {
    media_entity_desc entity{};
    entity.id = MEDIA_ENT_ID_FLAG_NEXT;
    uint32_t previous = 0;
    for (;;) {
        const int result = enumerate(entity, attempts);
        if (result < 0)
            return result;
        if (previous != 0 && entity.id <= previous)
            return 0;
        if (!visit(entity, entityName(entity)))
            return 0;
        previous = entity.id;
        const uint32_t next = entity.id | MEDIA_ENT_ID_FLAG_NEXT;
        entity = media_entity_desc{};
        entity.id = next;
    }
}

}  // namespace Quorvan
