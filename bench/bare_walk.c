/* The floor for the listing benchmark: the Windows Installer walk and nothing
 * else.  It asks for the products by index (msi.dll ordinal 45) and, for each
 * one, reads "InstalledProductName" and "Publisher" (ordinal 70) into buffers
 * of 256 wide characters, with the length set to 256 before each query - the
 * same calls, in the same order and with the same buffers as vxuninstall's
 * discovery - and keeps nothing.  It imports msi.dll by ordinal as
 * vxuninstall does, and writes one line at the end: the number of products.
 */
#include <windows.h>

UINT WINAPI MsiEnumProductsW(DWORD index, LPWSTR productCode);
UINT WINAPI MsiGetProductInfoW(LPCWSTR product, LPCWSTR property, LPWSTR value, LPDWORD length);

int main(void)
{
    WCHAR code[40];
    WCHAR name[256];
    WCHAR publisher[256];
    DWORD length;
    DWORD index;
    char line[16];
    int n = 0;
    DWORD written;

    for (index = 0; MsiEnumProductsW(index, code) == 0; ++index) {
        length = 256;
        MsiGetProductInfoW(code, L"InstalledProductName", name, &length);
        length = 256;
        MsiGetProductInfoW(code, L"Publisher", publisher, &length);
    }

    /* the count, in decimal, as a check that the walk saw the products */
    {
        char digits[16];
        int d = 0;
        DWORD v = index;
        do { digits[d++] = (char)('0' + v % 10); v /= 10; } while (v);
        while (d) line[n++] = digits[--d];
        line[n++] = '\n';
    }
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, (DWORD)n, &written, NULL);
    return 0;
}
