// Attribute object readers on arbitrary bytes (a hostile reply): every
// attribute is walked, looked up again by name and read with every reader;
// nested objects are walked the same way; then the object is copied and
// extended with a plain and a dotted add. The first input byte picks how much
// of the rest is offered as the area.
#include <cstddef>
#include <cstdint>
#include <string>

#include "corvane/wire/attobj.h"

namespace {

using namespace cvattobj;

void Walk(Area obj, int depth) {
  if (depth > 64) return;
  char text[2600];
  std::int32_t i;
  std::uint32_t u;
  double d;
  for (Att a = FirstAtt(nullptr, obj); a; a = NextAtt(nullptr, obj, a)) {
    // Every attribute lies inside the object's bytes.
    Area bytes = ObjectBytes(obj);
    if (a.Entry().data() < bytes.data() || a.Entry().data() + a.Entry().size() > bytes.data() + bytes.size())
      __builtin_trap();
    std::string name(a.Name());
    GetAttString(nullptr, text, obj, name);
    GetAttBool(nullptr, &i, obj, name);
    GetAttInt(nullptr, &i, obj, name);
    GetAttUnsigned(nullptr, &u, obj, name);
    GetAttReal(nullptr, &d, obj, name);
    ReadInt(a, &i);
    ReadReal(a, &d);
    if (a.Type() == kTypeObject) Walk(a.Value(), depth + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Area all(data + 1, size - 1);
  Area area = all.first(all.size() < 2500 ? all.size() : 2500);
  if (data[0] < 128 && data[0] < area.size()) area = area.first(data[0]);
  Walk(area, 0);
  FindAtt(nullptr, area, "a.b.c");
  ObjectPtr copy = CopyObject(nullptr, area);
  if (!copy) return 0;
  Walk(View(copy), 0);
  std::int32_t v = 7;
  AddAtt(nullptr, &copy, "plain", &v, 0, kTypeInt, 'a');
  Att first = FirstAtt(nullptr, View(copy));
  if (first) {
    std::string path = std::string(first.Name()) + ".leaf";
    AddAtt(nullptr, &copy, path, &v, 0, kTypeInt, 'a');
  }
  AddAtt(nullptr, &copy, "n.e.w", &v, 0, kTypeInt, 'a');
  if (TotalSize(View(copy)) != View(copy).size()) __builtin_trap();
  Walk(View(copy), 0);
  return 0;
}
