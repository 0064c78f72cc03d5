<#
  windows-check.ps1: checks of brevok-file-agent.exe that need a real Windows
  machine and an NTFS volume. Wine has no alternate data streams, access lists,
  EFS or 8.3 names, so the black-box suite cannot show any of this.

    powershell -ExecutionPolicy Bypass -File scripts\windows-check.ps1 -Agent path\to\brevok-file-agent.exe [-Scratch dir]

  Each check runs the agent as the controlling tool does: the request's bytes
  (UTF-8, no BOM) on standard input, input closed, one response line read back
  and the exit status looked at. Prints "ok   NAME", "FAIL NAME: DETAIL" or
  "skip NAME: WHY" (this machine cannot do it) and exits 1 if anything failed.
  The work happens in a new folder under -Scratch (default $env:TEMP; pick a
  folder on the volume you want to test), removed at the end.
#>
param(
    [Parameter(Mandatory = $true)][string]$Agent,
    [string]$Scratch = $env:TEMP
)
$ErrorActionPreference = 'Stop'
$Agent = (Resolve-Path -LiteralPath $Agent).ProviderPath
$Scratch = Join-Path (Resolve-Path -LiteralPath $Scratch).ProviderPath ('brevok-check-' + [guid]::NewGuid().ToString('N').Substring(0, 8))
$utf8 = New-Object System.Text.UTF8Encoding $false
$me = [Security.Principal.WindowsIdentity]::GetCurrent().User.Value
$script:failures = 0
if (-not ('BrevokCheck.Native' -as [type])) {
    Add-Type -Namespace BrevokCheck -Name Native -MemberDefinition @'
[DllImport("kernel32.dll", CharSet = CharSet.Unicode, SetLastError = true)]
public static extern uint GetShortPathNameW(string longPath, System.Text.StringBuilder shortPath, uint size);
'@
}

function Pass([string]$Name) { Write-Host "ok   $Name" }
function Fail([string]$Name, [string]$Detail) { Write-Host "FAIL ${Name}: $Detail"; $script:failures++ }
function Skip([string]$Name, [string]$Why) { Write-Host "skip ${Name}: $Why" }

# A JSON string literal: quotes, backslashes (every Windows path) and control characters escaped.
function ConvertTo-JsonText([string]$Text) {
    $sb = New-Object System.Text.StringBuilder '"'
    foreach ($c in $Text.ToCharArray()) {
        if ($c -eq [char]'"' -or $c -eq [char]'\') { [void]$sb.Append('\').Append($c) }
        elseif ([int]$c -lt 0x20) { [void]$sb.AppendFormat('\u{0:x4}', [int]$c) }
        else { [void]$sb.Append($c) }
    }
    $sb.Append('"').ToString()
}

function New-Request([string]$Operation, [string]$Path, [hashtable]$Members = @{}) {
    $fields = @('"protocol":1', ('"operation":' + (ConvertTo-JsonText $Operation)), ('"path":' + (ConvertTo-JsonText $Path)))
    foreach ($key in $Members.Keys) {
        $value = $Members[$key]
        if ($value -is [string]) { $value = ConvertTo-JsonText $value }
        elseif ($value -is [bool]) { $value = ([string]$value).ToLower() }
        $fields += ('"' + $key + '":' + $value)
    }
    '{' + ($fields -join ',') + '}'
}

# System.Diagnostics.Process rather than the PowerShell pipeline, which would
# add a newline (and possibly a BOM) to what the agent reads.
function Start-Agent {
    $psi = New-Object System.Diagnostics.ProcessStartInfo -Property @{
        FileName = $Agent; Arguments = '--stdio'; UseShellExecute = $false; CreateNoWindow = $true
        RedirectStandardInput = $true; RedirectStandardOutput = $true; RedirectStandardError = $true
        StandardOutputEncoding = $utf8; StandardErrorEncoding = $utf8
    }
    [System.Diagnostics.Process]::Start($psi)
}

function Invoke-Agent([string]$Request) {
    $p = Start-Agent
    $out = $p.StandardOutput.ReadToEndAsync()
    $err = $p.StandardError.ReadToEndAsync()
    $bytes = $utf8.GetBytes($Request)
    try { $p.StandardInput.BaseStream.Write($bytes, 0, $bytes.Length); $p.StandardInput.Close() } catch { }
    if (-not $p.WaitForExit(120000)) { try { $p.Kill() } catch { }; $p.WaitForExit() }
    $text = $out.Result
    $line = ($text -split "`n")[0].TrimEnd("`r")
    $json = $null
    try { $json = $line | ConvertFrom-Json } catch { }
    [pscustomobject]@{ Exit = $p.ExitCode; Text = $text; Line = $line; Json = $json; Err = $err.Result.Trim() }
}

function Format-Result($r) { "exit $($r.Exit), response '$($r.Line)', stderr '$($r.Err)'" }

# Success: exit status 0 and exactly one response line, with "ok":true.
function Confirm-Ok([string]$Name, $r) {
    if ($r.Exit -eq 0 -and $r.Json -and $r.Json.ok -eq $true -and $r.Text -match '^[^\n]*\n\z') { return $true }
    Fail $Name (Format-Result $r); $false
}

# A refusal is an ordinary response with "ok":false and the message; status 0 or 1, never a crash.
function Confirm-Refused([string]$Name, $r, [string]$Message, [switch]$Exact) {
    $e = if ($r.Json) { [string]$r.Json.error } else { '' }
    $matched = if ($Exact) { $e -ceq $Message } else { $e.StartsWith($Message, [StringComparison]::Ordinal) }
    if ($r.Json -and $r.Json.ok -eq $false -and $matched -and ($r.Exit -eq 0 -or $r.Exit -eq 1)) { return $true }
    Fail $Name ("expected error '$Message', got " + (Format-Result $r)); $false
}

function Test-Attr([string]$Path, [IO.FileAttributes]$Flag) { ([int][IO.File]::GetAttributes($Path) -band [int]$Flag) -ne 0 }
function Set-Attr([string]$Path, [IO.FileAttributes]$Flag, [bool]$On) {
    $a = [int][IO.File]::GetAttributes($Path)
    $a = if ($On) { $a -bor [int]$Flag } else { $a -band -bnot [int]$Flag }
    if ($a -eq 0) { $a = [int][IO.FileAttributes]::Normal }
    [IO.File]::SetAttributes($Path, [IO.FileAttributes]$a)
}
# Owner and access list (with its protected and auto-inherited flags) as SDDL.
function Get-Security([string]$Path) {
    $acl = Get-Acl -LiteralPath $Path
    $acl.GetSecurityDescriptorSddlForm('Owner') + ' ' + $acl.GetSecurityDescriptorSddlForm('Access')
}
function Set-Dacl([string]$Path, [string]$Sddl) {
    $acl = Get-Acl -LiteralPath $Path
    $acl.SetSecurityDescriptorSddlForm($Sddl, 'Access')
    Set-Acl -LiteralPath $Path -AclObject $acl
}
function Read-Stream([string]$Path, [string]$Stream) {
    try { Get-Content -LiteralPath $Path -Stream $Stream -Raw -ErrorAction Stop } catch { '<missing>' }
}
# What is wrong with a folder that should hold one entry, named exactly $Name
# (case included), with $Content; nothing when it is right.
function Get-ListingProblem([string]$Dir, [string]$Name, [string]$Content) {
    $names = @(Get-ChildItem -LiteralPath $Dir -Force | ForEach-Object { $_.Name })
    if ($names.Count -ne 1 -or $names[0] -cne $Name) { return "the folder lists '$($names -join "', '")'" }
    $text = [IO.File]::ReadAllText("$Dir\$Name")
    if ($text -cne $Content) { "content is '$text'" }
}

# Replaces a file by a write and another by an edit. $Setup prepares the file
# (throwing when this machine cannot) and returns what $Verify compares with;
# $Verify returns nothing when the replaced file is right, else what is wrong.
function Test-Replacement([string]$Name, [string]$Tag, [string]$Dir, [scriptblock]$Setup, [scriptblock]$Verify) {
    foreach ($op in 'write', 'edit') {
        $check = "$Name ($op)"
        $f = "$Dir\$Tag-$op.txt"
        [IO.File]::WriteAllText($f, "old content`n", $utf8)
        try { $before = & $Setup $f } catch { Skip $check "cannot prepare the file: $($_.Exception.Message)"; continue }
        if ($op -eq 'write') { $req = New-Request write $f @{ content = "new content`n" } }
        else { $req = New-Request edit $f @{ oldString = 'old'; newString = 'new' } }
        if (-not (Confirm-Ok $check (Invoke-Agent $req))) { continue }
        $text = [IO.File]::ReadAllText($f)
        $problem = if ($text -cne "new content`n") { "content is '$text'" }
                   else { try { & $Verify $f $before } catch { "cannot examine the file: $($_.Exception.Message)" } }
        if ($problem) { Fail $check $problem } else { Pass $check }
    }
}

# First a plain write and preview, so that an agent that does not work at all shows at once.
function Test-Sanity {
    $f = "$Scratch\sanity.txt"
    if (-not (Confirm-Ok 'write of a new file' (Invoke-Agent (New-Request write $f @{ content = "hello`n" })))) { return $false }
    Pass 'write of a new file'
    $r = Invoke-Agent (New-Request readPreview $f)
    if (-not (Confirm-Ok 'readPreview' $r)) { return $false }
    if ($r.Json.data -cne 'aGVsbG8K' -or $r.Json.totalBytes -ne 6) { Fail 'readPreview' (Format-Result $r); return $false }
    Pass 'readPreview'; $true
}

function Test-Names {
    # An edit through the 8.3 name must replace the file under its long name,
    # not leave a new file whose long name is the short one.
    $name = 'edit through the 8.3 name keeps the long name'
    $dir = "$Scratch\short"; $long = 'LongFileNameForTest.txt'
    [void](New-Item -ItemType Directory -Path $dir)
    [IO.File]::WriteAllText("$dir\$long", "old content`n", $utf8)
    $buf = New-Object System.Text.StringBuilder 1024
    $n = [BrevokCheck.Native]::GetShortPathNameW("$dir\$long", $buf, 1024)
    $short = [IO.Path]::GetFileName($buf.ToString())
    if ($n -eq 0 -or $short -eq $long) { Skip $name 'no 8.3 name on this volume (see fsutil 8dot3name query)' }
    elseif (Confirm-Ok $name (Invoke-Agent (New-Request edit "$dir\$short" @{ oldString = 'old'; newString = 'new' }))) {
        $problem = Get-ListingProblem $dir $long "new content`n"
        if ($problem) { Fail $name "through '$short': $problem" } else { Pass $name }
    }
    # NTFS names are case-insensitive: a write to README.MD replaces Readme.md and keeps its spelling.
    $name = 'write in another case keeps the name'
    $dir = "$Scratch\case"
    [void](New-Item -ItemType Directory -Path $dir)
    [IO.File]::WriteAllText("$dir\Readme.md", "old content`n", $utf8)
    if (Confirm-Ok $name (Invoke-Agent (New-Request write "$dir\README.MD" @{ content = "new content`n" }))) {
        $problem = Get-ListingProblem $dir 'Readme.md' "new content`n"
        if ($problem) { Fail $name $problem } else { Pass $name }
    }
}

function Test-Refusals {
    # A named pipe reached through the NT namespace must be refused without
    # being opened: the waiting server must never see a client.
    $name = 'named pipe refused unopened'
    $pipe = 'brevok-check-' + [guid]::NewGuid().ToString('N')
    $server = New-Object System.IO.Pipes.NamedPipeServerStream($pipe, [IO.Pipes.PipeDirection]::InOut, 1,
        [IO.Pipes.PipeTransmissionMode]::Byte, [IO.Pipes.PipeOptions]::Asynchronous)
    try {
        $wait = $server.WaitForConnectionAsync()
        $path = "\\?\GLOBALROOT\Device\NamedPipe\$pipe"
        $r = Invoke-Agent (New-Request write $path @{ content = 'x' })
        Start-Sleep -Milliseconds 500
        $connected = $server.IsConnected -or $wait.IsCompleted
        if (Confirm-Refused $name $r "path is not a regular file: $path" -Exact) {
            if ($connected) { Fail $name 'the pipe server saw a client' } else { Pass $name }
        }
    } finally { $server.Dispose() }

    # A stream name is not a file: no stream, temporary or other file may appear.
    $name = 'stream name refused'
    $dir = "$Scratch\stream-name"
    [void](New-Item -ItemType Directory -Path $dir)
    [IO.File]::WriteAllText("$dir\f.txt", "old content`n", $utf8)
    if (Confirm-Refused $name (Invoke-Agent (New-Request write "$dir\f.txt:s" @{ content = 'x' })) 'path is not a regular file:') {
        $streams = @(Get-Item -LiteralPath "$dir\f.txt" -Stream * | Where-Object { $_.Stream -ne ':$DATA' })
        $problem = Get-ListingProblem $dir 'f.txt' "old content`n"
        if ($streams.Count) { Fail $name "f.txt gained the stream(s) $(($streams | ForEach-Object { $_.Stream }) -join ', ')" }
        elseif ($problem) { Fail $name $problem } else { Pass $name }
    }

    $r = Invoke-Agent (New-Request readPreview '\\localhost\pipe\x')
    if (Confirm-Refused 'pipe share refused' $r 'path is not a regular file:') { Pass 'pipe share refused' }
}

# An agent killed outright (no chance to clean up) must leave no temporary:
# the kill comes while the temporary of a large write exists.
function Test-Kill {
    $name = 'killed agent leaves no temporary'
    $big = "$Scratch\big.txt"
    [IO.File]::WriteAllText($big, "old content`n", $utf8)
    # 120 MiB of content: slow enough to catch, under the agent's 128 MiB request limit.
    $request = "$Scratch\big-request.json"
    $fs = [IO.File]::Create($request)
    $head = $utf8.GetBytes('{"protocol":1,"operation":"write","path":' + (ConvertTo-JsonText $big) + ',"content":"')
    $body = $utf8.GetBytes('a' * 1MB); $tail = $utf8.GetBytes('"}')
    $fs.Write($head, 0, $head.Length)
    for ($i = 0; $i -lt 120; $i++) { $fs.Write($body, 0, $body.Length) }
    $fs.Write($tail, 0, $tail.Length); $fs.Close()

    $pattern = '.big.txt.brevok-file-agent-*'
    $p = Start-Agent
    $in = [IO.File]::OpenRead($request)
    $copy = $in.CopyToAsync($p.StandardInput.BaseStream)
    $seen = $false; $closed = $false
    $deadline = [DateTime]::Now.AddSeconds(60)
    while (-not $p.HasExited -and [DateTime]::Now -lt $deadline) {
        if (-not $closed -and $copy.IsCompleted) { try { $p.StandardInput.Close() } catch { }; $closed = $true }
        if (Get-ChildItem -LiteralPath $Scratch -Force -Filter $pattern) { $seen = $true; break }
        Start-Sleep -Milliseconds 5
    }
    $finished = $p.HasExited
    try { $p.Kill() } catch { }
    $p.WaitForExit()
    try { [void]$copy.Wait(5000) } catch { }
    $in.Dispose()
    if (-not $seen) {
        $line = $p.StandardOutput.ReadToEnd().Trim()
        if ($finished -and $line -match '"ok":true') { Skip $name 'the agent finished before its temporary was seen' }
        elseif ($finished) { Fail $name "exit $($p.ExitCode), response '$line'" }
        else { Fail $name 'no temporary appeared within 60 s' }
        return
    }
    Start-Sleep -Seconds 2
    $left = @(Get-ChildItem -LiteralPath $Scratch -Force -Filter $pattern | ForEach-Object { $_.Name })
    $size = (Get-Item -LiteralPath $big).Length
    if ($left.Count) { Fail $name "left behind: $($left -join ', ')" }
    elseif ($size -ne 12 -and $size -ne 120MB) { Fail $name "big.txt is $size bytes, neither its old nor its new content" }
    else { Pass $name }
}

# Windows PowerShell's Process writes the console input encoding's BOM into a
# redirected standard input when that encoding is UTF-8; a BOM-less UTF-8
# encoding keeps the request's bytes exact.
$savedInputEncoding = [Console]::InputEncoding
try { [Console]::InputEncoding = $utf8 } catch { }
[void](New-Item -ItemType Directory -Path $Scratch)
try {
    if (Test-Sanity) {
        $zone = "[ZoneTransfer]`r`nZoneId=3`r`n"
        Test-Replacement 'named streams kept' 'streams' $Scratch {
            param($f)
            Set-Content -LiteralPath $f -Stream Zone.Identifier -Value $zone -NoNewline
            Set-Content -LiteralPath $f -Stream extra -Value 'extra data' -NoNewline
        } {
            param($f)
            $z = Read-Stream $f Zone.Identifier; $x = Read-Stream $f extra
            if ($z -cne $zone) { "Zone.Identifier is '$z'" } elseif ($x -cne 'extra data') { "extra is '$x'" }
        }
        $sameSecurity = { param($f, $before) $now = Get-Security $f; if ($now -cne $before) { "was $before, now $now" } }
        Test-Replacement 'protected access list and owner kept' 'acl' $Scratch {
            param($f) Set-Dacl $f "D:PAI(A;;FA;;;$me)(A;;FR;;;BA)"; Get-Security $f
        } $sameSecurity
        # The folder passes on other entries than the file's own explicit ones.
        [void](New-Item -ItemType Directory -Path "$Scratch\acl-folder")
        Test-Replacement 'explicit entries kept beside inherited ones' 'inherit' "$Scratch\acl-folder" {
            param($f)
            Set-Dacl (Split-Path -Parent $f) "D:PAI(A;OICI;FA;;;$me)(A;OICI;FA;;;SY)"
            Set-Dacl $f 'D:AI(A;;FR;;;BU)'; Get-Security $f
        } $sameSecurity
        Test-Replacement 'encryption kept' 'efs' $Scratch {
            param($f)
            (Get-Item -LiteralPath $f).Encrypt()
            if (-not (Test-Attr $f Encrypted)) { throw 'Encrypt() left it unencrypted (no EFS here?)' }
        } { param($f) if (-not (Test-Attr $f Encrypted)) { 'no longer encrypted' } }
        # New content means the file needs backing up again, whatever the old file said.
        Test-Replacement 'archive bit set' 'archive' $Scratch { param($f) Set-Attr $f Archive $false } {
            param($f) if (-not (Test-Attr $f Archive)) { 'archive bit is clear' }
        }
        Test-Replacement 'read-only kept' 'readonly' $Scratch { param($f) Set-Attr $f ReadOnly $true } {
            param($f) if (-not (Test-Attr $f ReadOnly)) { 'no longer read-only' }
        }
        Test-Replacement 'hidden kept' 'hidden' $Scratch { param($f) Set-Attr $f Hidden $true } {
            param($f) if (-not (Test-Attr $f Hidden)) { 'no longer hidden' }
        }
        Test-Names
        Test-Refusals
        Test-Kill
    } else {
        Write-Host 'the agent does not answer a plain write and preview; the other checks were not run'
    }
} finally {
    try { [Console]::InputEncoding = $savedInputEncoding } catch { }
    Remove-Item -LiteralPath $Scratch -Recurse -Force -ErrorAction SilentlyContinue
    if (Test-Path -LiteralPath $Scratch) { Write-Host "note: could not remove $Scratch" }
}
if ($script:failures) { Write-Host "$($script:failures) check(s) failed"; exit 1 }
exit 0
