// The port's own answers to KSPROPSETID_Pin and KSPROPSETID_Topology requests, the data-range
// intersection with its default, and the match of a format against a pin's data ranges.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/harness.h"
#include "host/internal.h"
#include "host/port_filter.h"

namespace host {

namespace {

const GUID WildcardGuid = {};
constexpr ULONG VerbMask = KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT;
const char* const MediaCategoriesKey = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\MediaCategories";

ULONG QuadAligned(ULONG bytes)
{
    return (bytes + 7) & ~ULONG{7};
}

// A value of `size` bytes: an empty buffer asks for the size, a short one is refused untouched.
template <typename Fill>
NTSTATUS Answer(ULONG size, PUCHAR value, ULONG* valueSize, const Fill& fill)
{
    if (*valueSize == 0) {
        *valueSize = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (*valueSize < size) {
        *valueSize = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    fill(value);
    *valueSize = size;
    return STATUS_SUCCESS;
}

// A KSMULTIPLE_ITEM list as KsHandleSizedListQuery answers it: besides the whole list, a buffer of
// exactly a ULONG gets the total size and one of exactly the header gets the header.
template <typename Fill>
NTSTATUS AnswerList(ULONG count, ULONG size, PUCHAR value, ULONG* valueSize, const Fill& fill)
{
    const KSMULTIPLE_ITEM header = {size, count};
    if (*valueSize == sizeof(ULONG) && size > sizeof(ULONG)) {
        std::memcpy(value, &size, sizeof(size));
        return STATUS_SUCCESS;
    }
    if (*valueSize == sizeof(KSMULTIPLE_ITEM) && size > sizeof(KSMULTIPLE_ITEM)) {
        std::memcpy(value, &header, sizeof(header));
        return STATUS_SUCCESS;
    }
    return Answer(size, value, valueSize, [&](PUCHAR out) {
        std::memcpy(out, &header, sizeof(header));
        fill(out + sizeof(header));
    });
}

NTSTATUS AnswerGuids(const GUID* const* guids, ULONG count, PUCHAR value, ULONG* valueSize)
{
    return AnswerList(count, ULONG(sizeof(KSMULTIPLE_ITEM) + count * sizeof(GUID)), value, valueSize, [&](PUCHAR out) {
        for (ULONG i = 0; i < count; ++i) {
            std::memcpy(out + i * sizeof(GUID), guids[i] != nullptr ? guids[i] : &WildcardGuid, sizeof(GUID));
        }
    });
}

bool GuidMatches(const GUID& a, const GUID& b)
{
    return a == b || a == WildcardGuid || b == WildcardGuid;
}

bool RangesMeet(const KSDATARANGE& a, const KSDATARANGE& b)
{
    return GuidMatches(a.MajorFormat, b.MajorFormat) && GuidMatches(a.SubFormat, b.SubFormat) &&
           GuidMatches(a.Specifier, b.Specifier);
}

bool IsPcmAudioRange(const KSDATARANGE& range)
{
    return range.FormatSize >= sizeof(KSDATARANGE_AUDIO) && range.MajorFormat == KSDATAFORMAT_TYPE_AUDIO &&
           range.SubFormat == KSDATAFORMAT_SUBTYPE_PCM;
}

std::string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", guid.Data1, guid.Data2,
                  guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                  guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return text;
}

// The name of a pin or node: its name GUID's "Name" under MediaCategories, as the system keeps
// the names of pins and nodes; the string with its terminator.
NTSTATUS AnswerName(const GUID* nameGuid, PUCHAR value, ULONG* valueSize)
{
    RegistryValueData name;
    if (nameGuid == nullptr ||
        !RegistryGetValue(std::string(MediaCategoriesKey) + "\\{" + GuidText(*nameGuid) + "}", "Name", &name) ||
        name.type != REG_SZ) {
        *valueSize = 0;
        return STATUS_NOT_FOUND;
    }
    std::vector<UCHAR> text(name.data.begin(), name.data.end() - name.data.size() % 2);
    while (text.size() >= 2 && text[text.size() - 1] == 0 && text[text.size() - 2] == 0) {
        text.resize(text.size() - 2);
    }
    text.push_back(0);
    text.push_back(0);
    return Answer(static_cast<ULONG>(text.size()), value, valueSize,
                  [&](PUCHAR out) { std::memcpy(out, text.data(), text.size()); });
}

}  // namespace

ULONG DefaultSpeakerMask(ULONG channels)
{
    switch (channels) {
    case 1:
        return SPEAKER_FRONT_CENTER;
    case 2:
        return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT;
    case 4:
        return SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT;
    case 6:
        return 0x3F;
    case 8:
        return 0xFF;
    default:
        return channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1;
    }
}

bool FormatMatchesRange(const KSDATAFORMAT* format, ULONG formatSize, const KSDATARANGE* range)
{
    auto accepts = [](const GUID& ranged, const GUID& given) { return ranged == WildcardGuid || ranged == given; };
    if (range == nullptr || formatSize < sizeof(KSDATAFORMAT) || !accepts(range->MajorFormat, format->MajorFormat) ||
        !accepts(range->SubFormat, format->SubFormat) || !accepts(range->Specifier, format->Specifier)) {
        return false;
    }
    if (range->FormatSize < sizeof(KSDATARANGE_AUDIO) || !(range->MajorFormat == KSDATAFORMAT_TYPE_AUDIO)) {
        return true;
    }
    ULONG waveOffset;
    if (format->Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) {
        waveOffset = sizeof(KSDATAFORMAT);
    } else if (format->Specifier == KSDATAFORMAT_SPECIFIER_DSOUND) {
        waveOffset = sizeof(KSDATAFORMAT) + 2 * sizeof(ULONG);  // the buffer description's flags and control
    } else {
        return true;  // the audio limits describe wave formats only
    }
    if (format->FormatSize < waveOffset + sizeof(WAVEFORMATEX) || formatSize < waveOffset + sizeof(WAVEFORMATEX)) {
        return false;
    }
    WAVEFORMATEX wave;
    std::memcpy(&wave, reinterpret_cast<const UCHAR*>(format) + waveOffset, sizeof(wave));
    const auto* audio = reinterpret_cast<const KSDATARANGE_AUDIO*>(range);
    return wave.nChannels >= 1 && wave.nChannels <= audio->MaximumChannels &&
           wave.wBitsPerSample >= audio->MinimumBitsPerSample && wave.wBitsPerSample <= audio->MaximumBitsPerSample &&
           wave.nSamplesPerSec >= audio->MinimumSampleFrequency && wave.nSamplesPerSec <= audio->MaximumSampleFrequency;
}

NTSTATUS FilterSide::DefaultIntersection(const KSDATARANGE* clientRange, const KSDATARANGE* pinRange,
                                         ULONG outputSize, PVOID output, PULONG resultSize)
{
    const bool pinAudio = pinRange->FormatSize >= sizeof(KSDATARANGE_AUDIO) &&
                          pinRange->MajorFormat == KSDATAFORMAT_TYPE_AUDIO;
    if (!pinAudio) {
        if (pinRange->FormatSize != sizeof(KSDATARANGE)) {
            return STATUS_NO_MATCH;
        }
        // A plain range: the pin's range itself, with the client's GUIDs for its wildcards.
        KSDATAFORMAT format = *pinRange;
        format.FormatSize = sizeof(KSDATAFORMAT);
        format.Flags = 0;
        if (format.MajorFormat == WildcardGuid) {
            format.MajorFormat = clientRange->MajorFormat;
        }
        if (format.SubFormat == WildcardGuid) {
            format.SubFormat = clientRange->SubFormat;
        }
        if (format.Specifier == WildcardGuid) {
            format.Specifier = clientRange->Specifier;
        }
        if (outputSize == 0) {
            *resultSize = sizeof(format);
            return STATUS_BUFFER_OVERFLOW;
        }
        if (outputSize < sizeof(format)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(output, &format, sizeof(format));
        *resultSize = sizeof(format);
        return STATUS_SUCCESS;
    }
    if (!IsPcmAudioRange(*pinRange) || !(pinRange->Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) ||
        !GuidMatches(clientRange->SubFormat, KSDATAFORMAT_SUBTYPE_PCM) ||
        !GuidMatches(clientRange->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX)) {
        return STATUS_NO_MATCH;
    }
    const auto* pin = reinterpret_cast<const KSDATARANGE_AUDIO*>(pinRange);
    ULONG channels = pin->MaximumChannels;
    ULONG minBits = pin->MinimumBitsPerSample;
    ULONG maxBits = pin->MaximumBitsPerSample;
    ULONG minRate = pin->MinimumSampleFrequency;
    ULONG maxRate = pin->MaximumSampleFrequency;
    if (clientRange->FormatSize >= sizeof(KSDATARANGE_AUDIO)) {
        const auto* client = reinterpret_cast<const KSDATARANGE_AUDIO*>(clientRange);
        channels = std::min(channels, client->MaximumChannels);
        minBits = std::max(minBits, client->MinimumBitsPerSample);
        maxBits = std::min(maxBits, client->MaximumBitsPerSample);
        minRate = std::max(minRate, client->MinimumSampleFrequency);
        maxRate = std::min(maxRate, client->MaximumSampleFrequency);
    }
    if (channels == 0 || channels > 0xFFFF || minBits > maxBits || maxBits == 0 || maxBits > 0xFFF8 ||
        minRate > maxRate || maxRate == 0) {
        return STATUS_NO_MATCH;
    }
    constexpr ULONG size = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);
    if (outputSize == 0) {
        *resultSize = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (outputSize < size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE result = {};
    WAVEFORMATEXTENSIBLE& wave = result.WaveFormatExt;
    const ULONG containerBits = (maxBits + 7) / 8 * 8;
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = static_cast<WORD>(channels);
    wave.Format.nSamplesPerSec = maxRate;
    wave.Format.nBlockAlign = static_cast<WORD>(containerBits / 8 * channels);
    wave.Format.nAvgBytesPerSec = wave.Format.nBlockAlign * maxRate;
    wave.Format.wBitsPerSample = static_cast<WORD>(containerBits);
    wave.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    wave.Samples.wValidBitsPerSample = static_cast<WORD>(maxBits);
    wave.dwChannelMask = DefaultSpeakerMask(channels);
    wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    result.DataFormat.FormatSize = size;
    result.DataFormat.SampleSize = wave.Format.nBlockAlign;
    result.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    result.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    result.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::memcpy(output, &result, size);
    *resultSize = size;
    return STATUS_SUCCESS;
}

NTSTATUS FilterSide::OwnAnswer(const KSPROPERTY& property, KsFilter* filter, PUCHAR input, ULONG inputSize,
                               PUCHAR value, ULONG* valueSize)
{
    const bool pinSet = property.Set == KSPROPSETID_Pin;
    const bool topologySet = property.Set == KSPROPSETID_Topology;
    const bool known = (pinSet && (property.Id <= KSPROPERTY_PIN_NAME) &&
                        property.Id != KSPROPERTY_PIN_INTERFACES && property.Id != KSPROPERTY_PIN_MEDIUMS) ||
                       (topologySet && property.Id <= KSPROPERTY_TOPOLOGY_NAME);
    if (!known) {
        *valueSize = 0;
        return STATUS_NOT_FOUND;
    }
    if ((property.Flags & VerbMask) != KSPROPERTY_TYPE_GET) {
        *valueSize = 0;
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (topologySet && property.Id == KSPROPERTY_TOPOLOGY_NAME) {
        if (inputSize < sizeof(KSP_NODE)) {
            *valueSize = 0;
            return STATUS_INVALID_BUFFER_SIZE;
        }
        KSP_NODE nodeProperty;
        std::memcpy(&nodeProperty, input, sizeof(nodeProperty));
        const PCNODE_DESCRIPTOR* node = Node(nodeProperty.NodeId);
        if (node == nullptr) {
            *valueSize = 0;
            return STATUS_INVALID_PARAMETER;
        }
        return AnswerName(node->Name, value, valueSize);
    }
    if (topologySet) {
        return TopologyAnswer(property.Id, value, valueSize);
    }
    if (property.Id == KSPROPERTY_PIN_CTYPES) {
        const ULONG count = descriptor_.PinCount;
        return Answer(sizeof(ULONG), value, valueSize, [&](PUCHAR out) { std::memcpy(out, &count, sizeof(count)); });
    }
    if (inputSize < sizeof(KSP_PIN)) {
        *valueSize = 0;
        return STATUS_INVALID_BUFFER_SIZE;
    }
    KSP_PIN pinProperty;
    std::memcpy(&pinProperty, input, sizeof(pinProperty));
    if (pinProperty.PinId >= descriptor_.PinCount) {
        *valueSize = 0;
        return STATUS_INVALID_PARAMETER;
    }
    if (property.Id == KSPROPERTY_PIN_DATAINTERSECTION) {
        return Intersect(pinProperty.PinId, pins_[pinProperty.PinId], input, inputSize, value, valueSize);
    }
    return PinAnswer(property.Id, pinProperty.PinId, pins_[pinProperty.PinId], filter, value, valueSize);
}

NTSTATUS FilterSide::PinAnswer(ULONG id, ULONG pinId, const PCPIN_DESCRIPTOR& pin, KsFilter* filter, PUCHAR value,
                               ULONG* valueSize)
{
    const KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
    auto ulong = [&](ULONG answer) {
        return Answer(sizeof(ULONG), value, valueSize, [&](PUCHAR out) { std::memcpy(out, &answer, sizeof(answer)); });
    };
    auto instances = [&](ULONG possible, ULONG current) {
        const KSPIN_CINSTANCES answer = {possible, current};
        return Answer(sizeof(answer), value, valueSize, [&](PUCHAR out) { std::memcpy(out, &answer, sizeof(answer)); });
    };
    switch (id) {
    case KSPROPERTY_PIN_DATAFLOW:
        return ulong(ks.DataFlow);
    case KSPROPERTY_PIN_COMMUNICATION:
        return ulong(ks.Communication);
    case KSPROPERTY_PIN_NECESSARYINSTANCES:
        return ulong(pin.MinFilterInstanceCount);
    case KSPROPERTY_PIN_CINSTANCES:
        return instances(pin.MaxFilterInstanceCount, filter != nullptr ? filter->Instances(pinId) : 0);
    case KSPROPERTY_PIN_GLOBALCINSTANCES:
        return instances(pin.MaxGlobalInstanceCount, GlobalInstances(pinId));
    case KSPROPERTY_PIN_DATARANGES: {
        ULONG size = sizeof(KSMULTIPLE_ITEM);
        for (ULONG i = 0; i < ks.DataRangesCount; ++i) {
            size = QuadAligned(size) + ks.DataRanges[i]->FormatSize;
        }
        return AnswerList(ks.DataRangesCount, size, value, valueSize, [&](PUCHAR out) {
            ULONG offset = 0;  // from the end of the header, which is quad-aligned
            for (ULONG i = 0; i < ks.DataRangesCount; ++i) {
                offset = QuadAligned(offset);
                std::memcpy(out + offset, ks.DataRanges[i], ks.DataRanges[i]->FormatSize);
                offset += ks.DataRanges[i]->FormatSize;
            }
        });
    }
    case KSPROPERTY_PIN_CATEGORY:
        if (ks.Category == nullptr) {
            *valueSize = 0;
            return STATUS_NOT_FOUND;
        }
        return Answer(sizeof(GUID), value, valueSize, [&](PUCHAR out) { std::memcpy(out, ks.Category, sizeof(GUID)); });
    case KSPROPERTY_PIN_NAME:
        return AnswerName(ks.Name, value, valueSize);
    case KSPROPERTY_PIN_PHYSICALCONNECTION: {
        std::u16string link;
        ULONG otherPin = 0;
        if (filter == nullptr || !FindPhysicalConnection(filter->Owner()->Port(), pinId, &link, &otherPin)) {
            *valueSize = 0;
            return STATUS_NOT_FOUND;
        }
        const ULONG size = static_cast<ULONG>(offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName) +
                                              (link.size() + 1) * sizeof(WCHAR));
        return Answer(size, value, valueSize, [&](PUCHAR out) {
            const ULONG header[2] = {size, otherPin};
            std::memcpy(out, header, sizeof(header));
            std::memcpy(out + offsetof(KSPIN_PHYSICALCONNECTION, SymbolicLinkName), link.c_str(),
                        (link.size() + 1) * sizeof(WCHAR));
        });
    }
    default:
        *valueSize = 0;
        return STATUS_NOT_FOUND;
    }
}

NTSTATUS FilterSide::TopologyAnswer(ULONG id, PUCHAR value, ULONG* valueSize)
{
    const PCFILTER_DESCRIPTOR& d = descriptor_;
    switch (id) {
    case KSPROPERTY_TOPOLOGY_CATEGORIES: {
        if (d.CategoryCount == 0) {
            return AnswerGuids(defaultCategories_, defaultCategoryCount_, value, valueSize);
        }
        const ULONG count = d.CategoryCount;
        return AnswerList(count, ULONG(sizeof(KSMULTIPLE_ITEM) + count * sizeof(GUID)), value, valueSize,
                          [&](PUCHAR out) { std::memcpy(out, d.Categories, count * sizeof(GUID)); });
    }
    case KSPROPERTY_TOPOLOGY_NODES: {
        const ULONG count = d.NodeCount;
        return AnswerList(count, ULONG(sizeof(KSMULTIPLE_ITEM) + count * sizeof(GUID)), value, valueSize,
                          [&](PUCHAR out) {
                              for (ULONG i = 0; i < count; ++i) {
                                  const GUID* type = Node(i)->Type;
                                  std::memcpy(out + i * sizeof(GUID), type != nullptr ? type : &WildcardGuid,
                                              sizeof(GUID));
                              }
                          });
    }
    default: {
        const ULONG count = d.ConnectionCount;
        static_assert(sizeof(KSTOPOLOGY_CONNECTION) == sizeof(PCCONNECTION_DESCRIPTOR), "same layout");
        return AnswerList(count, ULONG(sizeof(KSMULTIPLE_ITEM) + count * sizeof(KSTOPOLOGY_CONNECTION)), value,
                          valueSize, [&](PUCHAR out) {
                              std::memcpy(out, d.Connections, count * sizeof(KSTOPOLOGY_CONNECTION));
                          });
    }
    }
}

// KSPROPERTY_PIN_DATAINTERSECTION: the client's ranges (a KSMULTIPLE_ITEM after the KSP_PIN), each
// in turn against each of the pin's; the miniport decides, or the port's default when it says
// STATUS_NOT_IMPLEMENTED. The first answer other than STATUS_NO_MATCH ends the search.
NTSTATUS FilterSide::Intersect(ULONG pinId, const PCPIN_DESCRIPTOR& pin, PUCHAR input, ULONG inputSize, PUCHAR value,
                               ULONG* valueSize)
{
    const ULONG outputSize = *valueSize;
    *valueSize = 0;
    if (inputSize < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    KSMULTIPLE_ITEM list;
    std::memcpy(&list, input + sizeof(KSP_PIN), sizeof(list));
    const ULONG available = inputSize - ULONG{sizeof(KSP_PIN)};
    if (list.Size < sizeof(KSMULTIPLE_ITEM) || list.Size > available) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    const PUCHAR ranges = input + sizeof(KSP_PIN);
    ULONG offset = sizeof(KSMULTIPLE_ITEM);
    const KSPIN_DESCRIPTOR& ks = pin.KsPinDescriptor;
    for (ULONG i = 0; i < list.Count; ++i) {
        offset = QuadAligned(offset);
        if (offset > list.Size || list.Size - offset < sizeof(KSDATARANGE)) {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        auto* client = reinterpret_cast<KSDATARANGE*>(ranges + offset);
        if (client->FormatSize < sizeof(KSDATARANGE) || client->FormatSize > list.Size - offset) {
            return STATUS_INVALID_BUFFER_SIZE;
        }
        offset += client->FormatSize;
        for (ULONG r = 0; r < ks.DataRangesCount; ++r) {
            KSDATARANGE* mine = ks.DataRanges[r];
            if (!RangesMeet(*client, *mine)) {
                continue;
            }
            ULONG resultSize = 0;
            NTSTATUS status;
            {
                DriverCall call("IMiniport::DataRangeIntersection");
                status = miniport_->DataRangeIntersection(pinId, client, mine, outputSize, value, &resultSize);
            }
            if (status == STATUS_NOT_IMPLEMENTED) {
                resultSize = 0;
                status = DefaultIntersection(client, mine, outputSize, value, &resultSize);
            }
            if (status == STATUS_NO_MATCH) {
                continue;
            }
            if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
                *valueSize = resultSize;
            }
            return status;
        }
    }
    return STATUS_NO_MATCH;
}

}  // namespace host
