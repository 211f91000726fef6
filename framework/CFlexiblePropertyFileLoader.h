// The hand-editable form of a property store: "dotted.name=value" lines, comments and
// indentation allowed, no header.
#pragma once

#include "framework/CPropertyManager.h"

class CFlexiblePropertyFileLoader : public ISerializeSupport
{
public:
    ~CFlexiblePropertyFileLoader() override = default;
    int OnSerializeTo(CSerializeStream* stream) override;
    int OnSerializeFrom(CSerializeStream* stream) override;

    void CopyPropertiesToAnotherPropertyProvider(IPropertyProvider* target);
    void GetPropertiesFromAnotherPropertyProvider(IPropertyProvider* source);

private:
    CPropertyManager m_Properties;
};
