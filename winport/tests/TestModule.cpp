// A small library that the module tests load by its Windows name: a counter that starts at
// zero on every load, so a test can tell whether a library was really unloaded.
extern "C"
{

    static int s_Counter = 0;

    __attribute__((visibility("default"))) int TestModuleNext()
    {
        return ++s_Counter;
    }

    __attribute__((visibility("default"))) int TestModuleAdd(int a, int b)
    {
        return a + b;
    }

} // extern "C"
