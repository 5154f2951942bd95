<#
The Windows build on a real Windows, one part per step of the CI workflow's Windows job:
  UnitTests   tests\unit_tests.exe, natively; its exit code decides.
  Conversion  heic-to-jpeg.exe turns a PNG into a JPEG of the same size and colours.
  Installers  the machine-wide and the per-user MSI installed side by side, checked and removed
              (files, shortcuts, the entry of 설정 > 앱, the program's key); the per-user one refuses
              ALLUSERS=1 and leaves nothing.
-Artifacts holds what the Linux job kept (heic-to-jpeg.exe, tests\unit_tests.exe, the MSIs); -Logs
receives the unit tests' report and msiexec's logs. Saved as UTF-8 with a byte-order mark, so that
Windows PowerShell 5.1 reads the Korean names right too.
#>
param(
    [Parameter(Mandatory)][ValidateSet('UnitTests', 'Conversion', 'Installers')][string]$Check,
    [Parameter(Mandatory)][string]$Artifacts,
    [Parameter(Mandatory)][string]$Logs
)
Set-StrictMode -Version 3.0
$ErrorActionPreference = 'Stop'
Add-Type -AssemblyName System.Drawing

$Artifacts = (Resolve-Path -LiteralPath $Artifacts).Path
$Logs = (New-Item -ItemType Directory -Force -Path $Logs).FullName
$Product = 'HEIC to JPEG Converter'
$Shell = New-Object -ComObject WScript.Shell
$script:Failures = 0

function Expect([bool]$Ok, [string]$What) {
    if ($Ok) { Write-Host "ok    $What" } else { Write-Host "FAIL  $What"; $script:Failures++ }
}

# The program and msiexec are GUI programs, which & would not wait for. The bound only ends a run
# that hangs on a box nobody can see.
function Invoke-Program([string]$Program, [string[]]$Arguments) {
    $quoted = $Arguments | ForEach-Object { if ($_ -match '\s') { "`"$_`"" } else { $_ } }
    $process = Start-Process -FilePath $Program -ArgumentList $quoted -PassThru
    $null = $process.Handle  # keeps the exit code readable after the process has ended
    if (-not $process.WaitForExit(600000)) { $process.Kill(); throw "$Program did not end" }
    return $process.ExitCode
}

# ---- Conversion ------------------------------------------------------------------------------

# As large as a phone photo, and odd both ways, so that no row fills a multiple of four bytes.
$Width = 4033
$Height = 3025

function New-Png([string]$Path) {
    $bitmap = [System.Drawing.Bitmap]::new($Width, $Height, [System.Drawing.Imaging.PixelFormat]::Format24bppRgb)
    $graphics = [System.Drawing.Graphics]::FromImage($bitmap)
    $half = [int][Math]::Floor($Width / 2)
    $graphics.FillRectangle([System.Drawing.Brushes]::Red, 0, 0, $half, $Height)
    $graphics.FillRectangle([System.Drawing.Brushes]::Blue, $half, 0, $Width - $half, $Height)
    $graphics.Dispose()
    $bitmap.Save($Path, [System.Drawing.Imaging.ImageFormat]::Png)
    $bitmap.Dispose()
}

function Test-Near($Colour, [int]$R, [int]$G, [int]$B) {
    return [Math]::Abs($Colour.R - $R) -le 16 -and [Math]::Abs($Colour.G - $G) -le 16 -and
        [Math]::Abs($Colour.B - $B) -le 16
}

function Test-Conversion([string]$Program) {
    $folder = Join-Path ([IO.Path]::GetTempPath()) ([Guid]::NewGuid())
    $null = New-Item -ItemType Directory -Path $folder
    $png = Join-Path $folder '사진.png'
    $jpeg = Join-Path $folder '사진.jpg'
    New-Png $png
    $code = Invoke-Program $Program @('--self-test', '--no-gui', '--quiet', $png)
    Expect ($code -eq 0) "$Program converts $png with exit code 0 (was $code)"
    $made = Test-Path -LiteralPath $jpeg -PathType Leaf
    Expect $made "it wrote $jpeg"
    if (-not $made) { return }
    $bytes = [IO.File]::ReadAllBytes($jpeg)
    Expect ($bytes.Length -gt 2 -and $bytes[0] -eq 0xFF -and $bytes[1] -eq 0xD8) 'the JPEG starts with FF D8'
    $image = [System.Drawing.Bitmap]::new($jpeg)
    $size = "$($image.Width)x$($image.Height)"
    $left = $image.GetPixel([int]($Width / 4), [int]($Height / 2))
    $right = $image.GetPixel([int]($Width * 3 / 4), [int]($Height / 2))
    $image.Dispose()
    Expect ($size -eq "${Width}x${Height}") "the JPEG is ${Width}x${Height}, as the PNG (was $size)"
    Expect (Test-Near $left 255 0 0) "its left half is red (was $left)"
    Expect (Test-Near $right 0 0 255) "its right half is blue (was $right)"
}

# ---- Installers ------------------------------------------------------------------------------

function Get-Layout([string]$Scope) {
    if ($Scope -eq 'user') {
        $folder = "$env:LOCALAPPDATA\Programs\ORVIK\$Product"
        $menu = "$env:APPDATA\Microsoft\Windows\Start Menu\Programs"
        $hive = 'HKCU:'
    } else {
        $folder = "$env:ProgramW6432\ORVIK\$Product"
        $menu = "$env:ProgramData\Microsoft\Windows\Start Menu\Programs"
        $hive = 'HKLM:'
    }
    $shortcuts = [ordered]@{
        "$menu\HEIC를 JPEG로 변환.lnk"          = "$folder\heic-to-jpeg.exe"
        "$menu\HEIC를 JPEG로 변환 사용설명서.lnk" = "$folder\사용설명서.txt"
    }
    # Windows has no all-users Send To: only the per-user MSI has this one.
    if ($Scope -eq 'user') {
        $shortcuts["$env:APPDATA\Microsoft\Windows\SendTo\HEIC를 JPEG로.lnk"] = "$folder\heic-to-jpeg.exe"
    }
    return [pscustomobject]@{
        Scope     = $Scope
        Folder    = $folder
        Files     = @('heic-to-jpeg.exe', '사용설명서.txt', 'THIRD-PARTY-NOTICES.txt') | ForEach-Object { "$folder\$_" }
        Shortcuts = $shortcuts
        Uninstall = "$hive\Software\Microsoft\Windows\CurrentVersion\Uninstall"
        Key       = "$hive\Software\ORVIK\$Product"
    }
}

function Get-Entries([string]$Root) {
    Get-ChildItem -LiteralPath $Root -ErrorAction SilentlyContinue | Get-ItemProperty -ErrorAction SilentlyContinue |
        Where-Object { $_.PSObject.Properties['DisplayName'] -and $_.DisplayName -eq $Product }
}

function Assert-Installed($Layout) {
    $scope = "[$($Layout.Scope)]"
    foreach ($file in $Layout.Files) { Expect (Test-Path -LiteralPath $file -PathType Leaf) "$scope $file is there" }
    foreach ($link in $Layout.Shortcuts.Keys) {
        $target = if (Test-Path -LiteralPath $link) { $Shell.CreateShortcut($link).TargetPath } else { 'no shortcut' }
        Expect ($target -eq $Layout.Shortcuts[$link]) "$scope $link leads to $($Layout.Shortcuts[$link]) (was $target)"
    }
    $entries = @(Get-Entries $Layout.Uninstall)
    $publishers = @($entries | ForEach-Object { if ($_.PSObject.Properties['Publisher']) { $_.Publisher } })
    Expect ($entries.Count -eq 1 -and $publishers.Count -eq 1 -and $publishers[0] -ceq 'ORVIK') "$scope one entry '$Product' by ORVIK in $($Layout.Uninstall) (found $($entries.Count), by '$publishers')"
    Expect (Test-Path -LiteralPath $Layout.Key) "$scope $($Layout.Key) is there"
}

function Assert-Removed($Layout) {
    $scope = "[$($Layout.Scope)]"
    foreach ($path in @($Layout.Folder) + @($Layout.Shortcuts.Keys)) {
        Expect (-not (Test-Path -LiteralPath $path)) "$scope $path is not there"
    }
    $entries = @(Get-Entries $Layout.Uninstall)
    Expect ($entries.Count -eq 0) "$scope no entry '$Product' in $($Layout.Uninstall) (found $($entries.Count))"
    Expect (-not (Test-Path -LiteralPath $Layout.Key)) "$scope $($Layout.Key) is not there"
}

function Invoke-Msiexec([string]$Action, [string]$Msi, [string]$Log, [string[]]$Properties = @()) {
    $arguments = @($Action, $Msi, '/qn', '/l*v', (Join-Path $Logs $Log)) + $Properties
    # 1618: another installation is running (the runner's own set-up, now and then); wait for it.
    for ($try = 1; $try -le 10; $try++) {
        $code = Invoke-Program 'msiexec.exe' $arguments
        if ($code -ne 1618) { break }
        Start-Sleep -Seconds 30
    }
    Write-Host "msiexec $Action $(Split-Path -Leaf $Msi) $Properties ended with $code (log: $Log)"
    return $code
}

function Test-Installers {
    $found = @(Get-ChildItem -LiteralPath $Artifacts -File | Where-Object Name -Match '^heic-to-jpeg-\d+\.\d+\.\d+-win64\.msi$')
    Expect ($found.Count -eq 1) "one per-user MSI in $Artifacts (found $($found.Count))"
    if ($found.Count -ne 1) { return }
    $userMsi = $found[0].FullName
    $version = $found[0].Name -replace '^heic-to-jpeg-|-win64\.msi$', ''
    $machineMsi = Join-Path $Artifacts "heic-to-jpeg-$version-win64-machine.msi"
    $present = Test-Path -LiteralPath $machineMsi -PathType Leaf
    Expect $present "the machine-wide MSI $machineMsi is there"
    if (-not $present) { return }
    $user = Get-Layout 'user'
    $machine = Get-Layout 'machine'

    # Machine-wide first, alone: nothing of the current user's, no Send To.
    Expect ((Invoke-Msiexec '/i' $machineMsi 'machine-install.log') -eq 0) 'the machine-wide MSI installs'
    Assert-Installed $machine
    Assert-Removed $user
    Test-Conversion "$($machine.Folder)\heic-to-jpeg.exe"

    # Side by side; each removal takes only its own.
    Expect ((Invoke-Msiexec '/i' $userMsi 'user-install.log') -eq 0) 'the per-user MSI installs beside it'
    Assert-Installed $user
    Assert-Installed $machine
    Test-Conversion "$($user.Folder)\heic-to-jpeg.exe"
    Expect ((Invoke-Msiexec '/x' $machineMsi 'machine-remove.log') -eq 0) 'the machine-wide MSI is removed'
    Assert-Removed $machine
    Assert-Installed $user
    Expect ((Invoke-Msiexec '/x' $userMsi 'user-remove.log') -eq 0) 'the per-user MSI is removed'
    Assert-Removed $user

    # A per-machine request of the per-user MSI fails (ERROR_INSTALL_FAILURE) and installs nothing.
    $code = Invoke-Msiexec '/i' $userMsi 'user-allusers.log' @('ALLUSERS=1')
    Expect ($code -eq 1603) "the per-user MSI refuses ALLUSERS=1 with 1603 (was $code)"
    Assert-Removed $user
    Assert-Removed $machine
}

switch ($Check) {
    'UnitTests' {
        & (Join-Path $Artifacts 'tests\unit_tests.exe') "--gtest_output=xml:$(Join-Path $Logs 'unit_tests.xml')"
        exit $LASTEXITCODE
    }
    'Conversion' { Test-Conversion (Join-Path $Artifacts 'heic-to-jpeg.exe') }
    'Installers' { Test-Installers }
}
if ($script:Failures) {
    Write-Host "$($script:Failures) check(s) failed"
    exit 1
}
Write-Host 'every check passed'
