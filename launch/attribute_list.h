// The process/thread attribute list of an extended start-up information
// block. Deleted when the owner goes away, if it was ever initialised.
#pragma once

#include "launch/tool_command.h"
#include "platform/system.h"
#include "runtime/grow_buffer.h"
#include "runtime/result.h"

namespace wr {

class AttributeList {
 public:
  explicit AttributeList(System& os) : os_(os), memory_(os) {}
  AttributeList(const AttributeList&) = delete;
  AttributeList& operator=(const AttributeList&) = delete;
  ~AttributeList() { Delete(); }

  // Builds the list with every attribute, in ascending attribute number.
  // On failure nothing stays initialised.
  Status Build(const GrowBuffer<ProcThreadAttribute>& attributes);
  void* get() { return initialised_ ? memory_.data() : nullptr; }
  void Delete();

 private:
  System& os_;
  GrowBuffer<unsigned char> memory_;
  bool initialised_ = false;
};

}  // namespace wr
