// The DOM attribute map of an element: getNamedItem by qualified name and the
// count of attributes, over the element's libxml2 attribute list.
#include <new>

#include "platform/posix/seams.h"
#include "platform/posix/xml_dom.h"

namespace {

class DomAttributeMap final : public IXMLDOMNamedNodeMap {
  public:
    DomAttributeMap(XmlTreeRef tree, xmlNodePtr element)
        : tree_(std::move(tree)), element_(element) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        *object = nullptr;
        if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_IXMLDOMNamedNodeMap)) {
            return E_NOINTERFACE;
        }
        *object = static_cast<IXMLDOMNamedNodeMap*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return refs_.Add(); }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = refs_.Drop();
        if (left == 0) {
            delete this;
        }
        return left;
    }

    // The attribute whose qualified name (prefix:name, or name) is `name`;
    // S_FALSE and null when the element has none.
    HRESULT STDMETHODCALLTYPE getNamedItem(BSTR name, IXMLDOMNode** item) override {
        if (item == nullptr) {
            return E_INVALIDARG;
        }
        *item = nullptr;
        uint32_t code = 0;
        if (SeamCallFails("IXMLDOMNamedNodeMap::getNamedItem", &code)) {
            return static_cast<HRESULT>(code);
        }
        if (name == nullptr) {
            return E_INVALIDARG;
        }
        const std::string wanted = Utf8FromBstr(name);
        for (xmlAttrPtr attribute = element_->properties; attribute != nullptr;
             attribute = attribute->next) {
            std::string qualified;
            if (attribute->ns != nullptr && attribute->ns->prefix != nullptr) {
                qualified = reinterpret_cast<const char*>(attribute->ns->prefix);
                qualified += ':';
            }
            qualified += reinterpret_cast<const char*>(attribute->name);
            if (qualified == wanted) {
                *item = WrapDomNode(tree_, reinterpret_cast<xmlNodePtr>(attribute));
                return *item != nullptr ? S_OK : E_OUTOFMEMORY;
            }
        }
        return S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE get_length(LONG* length) override {
        if (length == nullptr) {
            return E_INVALIDARG;
        }
        LONG count = 0;
        for (xmlAttrPtr attribute = element_->properties; attribute != nullptr;
             attribute = attribute->next) {
            ++count;
        }
        *length = count;
        return S_OK;
    }

  private:
    ~DomAttributeMap() = default;

    ComRefCount refs_;
    XmlTreeRef tree_;
    xmlNodePtr element_;
};

}  // namespace

IXMLDOMNamedNodeMap* WrapDomAttributes(const XmlTreeRef& tree, xmlNodePtr node) {
    return new (std::nothrow) DomAttributeMap(tree, node);
}
