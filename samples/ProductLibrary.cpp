// The product's core library as the sample fleet and the sample service pack carry it: a real
// loadable library with a file version, which a running product service keeps loaded.
extern "C" __attribute__((visibility("default"))) int PrvlCoreVersion()
{
    return PRVL_CORE_BUILD;
}
