// The XML engine: the whole-tree scan with its lookups, and a filtering
// scan that refuses and frees elements as a reader does.
#include <cstddef>
#include <cstdint>

#include "QXIXML.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    TQXXMLEngine e;
    e.MaxItems = 20000;
    e.Parse(reinterpret_cast<const char*>(data), size);
    std::vector<TQXXMLItem*> stack{e.RootItem()};
    int visited = 0;
    while (!stack.empty() && ++visited < 20000) {
      TQXXMLItem* n = stack.back();
      stack.pop_back();
      e.GetValue(n);
      e.AttributeValue(n, "r");
      for (const auto& c : n->Items) stack.push_back(c.get());
    }
    e.FindItem(nullptr, "c");
    e.FindChild(nullptr, "v");
  }
  {
    TQXXMLEngine e;
    int count = 0;
    e.OnTag = [&](TQXXMLEngine*, TQXXMLItem*, const std::string& name, const std::u16string& value,
                  const std::u16string& attrs, bool& accept) {
      std::u16string v;
      FindXMLAttribute(attrs, "r", v, true);
      DecodeXMLEntities(value);
      accept = name.size() % 3 != 0;
    };
    e.OnAfterTag = [&](TQXXMLEngine*, TQXXMLItem*& node, bool& cancel) {
      if (++count % 2 == 0) {
        node->Free();
        node = nullptr;
      }
      cancel = count > 5000;
    };
    e.Parse(reinterpret_cast<const char*>(data), size);
  }
  return 0;
}
