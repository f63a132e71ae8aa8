// A do-nothing program: its only purpose is the version resource (or the lack of one) that
// the version read-out tests look at.
int main()
{
    return 0;
}
