#include "launch/attribute_list.h"

#include <cstdint>
#include <utility>

namespace wr {

Status AttributeList::Build(const GrowBuffer<ProcThreadAttribute>& attributes) {
  Delete();
  if (attributes.size() > 0xFFFFFFFFu) return IoError::Fixed(fixed::kTooManyAttributes);
  const Dword count = static_cast<Dword>(attributes.size());

  // The sizing call fails by design (ERROR_INSUFFICIENT_BUFFER); only the
  // size it reports matters.
  std::size_t size = 0;
  os_.InitializeProcThreadAttributeList(nullptr, count, &size);
  memory_.Resize(size == 0 ? 1 : size);
  if (!os_.InitializeProcThreadAttributeList(memory_.data(), count, &size)) return LastOsError(os_);
  initialised_ = true;

  GrowBuffer<std::size_t> order(os_);
  for (std::size_t i = 0; i < attributes.size(); ++i) {
    std::size_t at = order.size();
    order.Push(i);
    while (at > 0 && attributes[order[at - 1]].number > attributes[i].number) {
      std::swap(order[at], order[at - 1]);
      --at;
    }
  }
  for (std::size_t index : order) {
    const ProcThreadAttribute& attribute = attributes[index];
    if (!os_.UpdateProcThreadAttribute(memory_.data(), attribute.number, attribute.value.data(),
                                       attribute.value.size())) {
      IoError error = LastOsError(os_);
      Delete();
      return error;
    }
  }
  return Success();
}

void AttributeList::Delete() {
  if (!initialised_) return;
  os_.DeleteProcThreadAttributeList(memory_.data());
  initialised_ = false;
}

}  // namespace wr
