#!/usr/bin/env python3
# Writes the corpus of INI files and the list of cases read by ini-dump.
# The files are kept in the repository; run this only to change them, then
# record expected.txt again (see CMakeLists.txt).
import os
os.chdir(os.path.dirname(os.path.abspath(__file__)))
import os
d = 'corpus'
os.makedirs(d, exist_ok=True)
def w(name, data):
    if isinstance(data, str): data = data.encode('latin-1')
    open(os.path.join(d, name), 'wb').write(data)

basic = """; kelvasync configuration
[activedirectory]
host=dc01.example.com
usr=svc_kelvasync
pwd=0a1b2c3d4e5f
group=CN=HSM Users,OU=Groups,DC=example,DC=com
updatefrequencyinminutes=15

[hsm]
host=10.0.0.5
usr=syncuser
pwd=ffee00
removeusers=Block
"""
w('basic_lf.ini', basic)
w('basic_crlf.ini', basic.replace('\n', '\r\n'))
w('no_trailing_newline.ini', "[hsm]\nhost=10.0.0.5\nusr=last   ")
w('no_trailing_newline_crlf.ini', "[hsm]\r\nusr=u\r\nhost=h\r")
w('empty.ini', "")
w('only_blanks.ini', "  \n\t\r\n\n   ")
w('blanks.ini', "  [activedirectory]  \n   host   =   dc01   \n\tusr\t=\tsvc user\t\npwd =\ngroup= CN=G, DC=x \nupdatefrequencyinminutes =  15 minutes \n[hsm]\r\n  host  =  'a b'  \r\nusr = \" spaced \" \r\n")
w('quotes.ini', "[q]\na=\"dc01\"\nb='dc01'\nc=\"dc01'\nd=\"\ne=\"\"\nf=''\ng=\"a\"b\"\nh=\"\"\"\ni=\"abc\nj=abc\"\nk='\"x\"'\nl=\" x \"\nm= \"x\" \nn=x\"y\"\no='\n")
w('comments.ini', ";[hsm]\n[hsm]\n;host=commented\n# usr=hashed\nhost=real ; not a comment\nusr=u # not a comment\n;pwd=aa\npwd=bb\n[activedirectory] ; trailing comment\nhost=dc\n")
w('case.ini', "[ActiveDirectory]\nHOST=DC01\nUsR=Admin\n[HSM]\nRemoveUsers=YES\nHost=hsm\n")
w('duplicates.ini', "[hsm]\nhost=first\nhost=second\nusr\nusr=after-bare\n[activedirectory]\nhost=ad1\n[hsm]\nhost=third\npwd=only-in-second\n[HSM]\nremoveusers=yes\n")
w('headers.ini', "host=before-any-section\n[hsm\nhost=in-broken-header\n[ hsm ]\nhost=spaced-name\n[hsm]extra\nusr=after-extra\nhost=h\n[activedirectory]]\nhost=double-bracket\n[]\nhost=empty-name\n[activedirectory]\nhost=ad\n[x]y]\nk=v\n")
w('noequals.ini', "[hsm]\nhost\nusr value\n=value\n= \n=\npwd = = x\nremoveusers==\n[s]\n=one\n=two\nk=v\n")
w('key_spaces.ini', "[activedirectory]\nupdate frequency=3\nupdatefrequencyinminutes=7\ngroup name=x\ngroup=CN=A B\n")
w('cr_only.ini', "[hsm]\rhost=a\rusr=b\r\n[s]\nk=v\rk2=w\n")
w('ctrl_z.ini', "[hsm]\nhost=x\x1a\n\x1ausr=y\n\x1a")
w('high_bytes.ini', "[Se\xc7\xc3O]\nChave=valor\n[hsm]\nhost=Se\xe7\xe3o\nusr=\x80\x81\x8d\x8f\x90\x9d\x9f\xff\npwd=\xa0x\xa0\nremoveusers=\x85y\x85\n[\x8aX]\nk=v\n")
w('long_values.ini', "[l]\n" + "".join("v%d=%s\n" % (n, ''.join(chr(ord('a') + i % 26) for i in range(n))) for n in (254, 255, 256, 300, 1000)) +
  "".join("q%d=\"%s\"\n" % (n, ''.join(chr(ord('A') + i % 26) for i in range(n))) for n in (252, 253, 254, 255, 256, 257, 300)) +
  "".join("s%d='%s'\n" % (n, 'x' * n) for n in (254, 255)) + "[" + "S" * 300 + "]\nk=long-section\n")
w('long_line.ini', "[hsm]\nhost=" + "h" * 5000 + "\nusr=after-long\n")

# UTF-8 and UTF-16 with a byte-order mark (as Notepad writes them).
u = "[activedirectory]\r\nhost=dc01\r\nusr=Jos\u00e9\r\n[hsm]\r\nhost=\u00e7\u00e3o\r\nusr=\u20ac\u0160\r\npwd=  \u00a0x\u00a0 \r\nremoveusers=Block\r\n"
w('bom_utf8.ini', b'\xef\xbb\xbf' + u.encode('utf-8'))
w('bom_utf16le.ini', b'\xff\xfe' + u.encode('utf-16-le'))
w('bom_utf16be.ini', b'\xfe\xff' + u.encode('utf-16-be'))
w('utf8_no_bom.ini', u.encode('utf-8'))

w('sections_trim.ini', "first=nameless\n[\thsm\t]\nhost=tabbed\n[  activedirectory ] trailing text\nk=v\n[ x ]]\nk=w\n[]\nhost=empty-header\n")
w('unicode_utf8.ini', b'\xef\xbb\xbf' + "[u]\nc=\u0085v\u0085\nd=\u00a0v\ne=\u2028v\u2029\nh=\u1680v\ni=\ufeffv\nj=\u00e7\u00c7\u00ff\n".encode('utf-8'))

# Which bytes count as blanks around names and values.
lines = ["[w]"]
for b in range(1, 256):
    if b in (0x0a,): continue
    c = chr(b)
    lines.append("k%02x=%sv%s" % (b, c, c))
    lines.append("%sj%02x%s=%sw" % (c, b, c, c))
w('whitespace_probe.ini', "\n".join(lines) + "\n")

cases = []
def add(f, s, k): cases.append("%s\t%s\t%s" % (f, s, k))
std_keys = ['host', 'usr', 'pwd', 'group', 'updatefrequencyinminutes', 'removeusers']
for f in ['basic_lf.ini', 'basic_crlf.ini', 'no_trailing_newline.ini', 'no_trailing_newline_crlf.ini', 'empty.ini',
          'only_blanks.ini', 'blanks.ini', 'comments.ini', 'case.ini', 'duplicates.ini', 'headers.ini', 'noequals.ini',
          'key_spaces.ini', 'cr_only.ini', 'ctrl_z.ini', 'sections_trim.ini', 'high_bytes.ini', 'long_line.ini',
          'bom_utf8.ini', 'bom_utf16le.ini', 'bom_utf16be.ini', 'utf8_no_bom.ini', 'missing.ini']:
    for s in ['activedirectory', 'hsm']:
        for k in std_keys:
            add(f, s, k)
for s, k in [('ACTIVEDIRECTORY', 'HOST'), ('Hsm', 'RemoveUsers'), (' hsm ', ' host '), ('hsm ', 'usr'), ('', 'host'),
             ('hsm', ''), ('hsm', ' '), ('nosuch', 'host'), (';hsm', 'host'), ('[hsm]', 'host')]:
    for f in ['basic_lf.ini', 'case.ini', 'headers.ini', 'noequals.ini']:
        add(f, s, k)
for k in ['host', 'usr', 'pwd', ';host', '# usr']:
    add('comments.ini', 'hsm', k)
add('comments.ini', ';[hsm]', 'host')
for k in ['a','b','c','d','e','f','g','h','i','j','k','l','m','n','o']:
    add('quotes.ini', 'q', k)
for k in ['', ' ', 'k', 'x']:
    add('noequals.ini', 's', k)
add('headers.ini', 'x', 'k'); add('headers.ini', 'x]y', 'k'); add('headers.ini', ' hsm ', 'host')
add('headers.ini', 'activedirectory]', 'host'); add('headers.ini', '', 'host'); add('headers.ini', 'hsm]extra', 'usr')
add('key_spaces.ini', 'activedirectory', 'update frequency'); add('key_spaces.ini', 'activedirectory', 'group name')
add('cr_only.ini', 's', 'k'); add('cr_only.ini', 's', 'k2')
for k in 'cdehij':
    add('unicode_utf8.ini', 'u', k)
add('sections_trim.ini', 'activedirectory', 'k'); add('sections_trim.ini', 'x', 'k'); add('sections_trim.ini', ' ', 'host')
add('high_bytes.ini', 'se\xe7\xe3o', 'chave'); add('high_bytes.ini', 'SE\xc7\xc3O', 'CHAVE'); add('high_bytes.ini', '\x9ax', 'K')
for n in (254, 255, 256, 300, 1000): add('long_values.ini', 'l', 'v%d' % n)
for n in (252, 253, 254, 255, 256, 257, 300): add('long_values.ini', 'l', 'q%d' % n)
for n in (254, 255): add('long_values.ini', 'l', 's%d' % n)
add('long_values.ini', 'S' * 300, 'k')
for b in range(1, 256):
    if b in (0x0a,): continue
    add('whitespace_probe.ini', 'w', 'k%02x' % b)
    add('whitespace_probe.ini', 'w', 'j%02x' % b)
open('cases.txt', 'wb').write(("# file<TAB>section<TAB>key; see ini_dump.cpp\n" + "\n".join(cases) + "\n").encode('latin-1'))
print(len(cases))
