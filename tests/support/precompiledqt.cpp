// The host of the tests' precompiled Qt headers: built only so that the tests can reuse them.
int main()
{
    return 0;
}
