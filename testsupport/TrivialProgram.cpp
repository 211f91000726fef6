// The trivial program of the process start baseline: it starts and ends.
int main()
{
    return 0;
}
