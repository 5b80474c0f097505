<#
.SYNOPSIS
  Registers tessera-smartcard.exe as a native-messaging host with Chrome, Chromium, Edge, Brave
  and Firefox on Windows.

.DESCRIPTION
  Writes one manifest per browser family beside the .exe (the manifests name the .exe by its
  absolute path) and points each browser's registry key at it:
    HKCU (default) or HKLM (-AllUsers, run as administrator)
      Software\Google\Chrome\NativeMessagingHosts\<name>
      Software\Chromium\NativeMessagingHosts\<name>
      Software\Microsoft\Edge\NativeMessagingHosts\<name>
      Software\BraveSoftware\Brave-Browser\NativeMessagingHosts\<name>
      Software\Mozilla\NativeMessagingHosts\<name>
  The key's default value is the full path of the manifest file. Without -ChromeId and
  -FirefoxId, the manifests admit the project's own extension.

.EXAMPLE
  powershell -ExecutionPolicy Bypass -File install.ps1 -ChromeId abcdefghijklmnopabcdefghijklmnop
.EXAMPLE
  powershell -ExecutionPolicy Bypass -File install.ps1 -FirefoxId demo@example.org -AllUsers
#>
param(
  [string[]]$ChromeId = @(),
  [string[]]$FirefoxId = @(),
  [string]$HostPath = (Join-Path $PSScriptRoot 'tessera-smartcard.exe'),
  [string]$Name = 'org.tessera.smartcard',
  [switch]$AllUsers,
  [switch]$Uninstall
)
$ErrorActionPreference = 'Stop'
# With -File, "-ChromeId a,b" arrives as the one string "a,b".
$ChromeId = @($ChromeId | ForEach-Object { $_ -split ',' } | Where-Object { $_ -ne '' })
$FirefoxId = @($FirefoxId | ForEach-Object { $_ -split ',' } | Where-Object { $_ -ne '' })
# No ID given: the project's own extension (the IDs of extension/ids.json).
if ($ChromeId.Count -eq 0 -and $FirefoxId.Count -eq 0) {
  $ChromeId = @('kbhdbilgancffmblmcekfofmdbabndil')
  $FirefoxId = @('smartcard@tessera.org')
}

# Chrome rejects upper case, spaces and dashes ("Invalid native messaging host name specified.").
if ($Name -cnotmatch '^[a-z0-9_]+(\.[a-z0-9_]+)*$') {
  throw "Host name '$Name': use lower case letters, digits, underscores and single dots only"
}

$root = if ($AllUsers) { 'HKLM:' } else { 'HKCU:' }
$chromiumKeys = @('Software\Google\Chrome', 'Software\Chromium', 'Software\Microsoft\Edge',
                  'Software\BraveSoftware\Brave-Browser')
$firefoxKeys = @('Software\Mozilla')
$manifestDir = Split-Path -Parent $HostPath
$chromiumManifest = Join-Path $manifestDir "$Name.chromium.json"
$firefoxManifest = Join-Path $manifestDir "$Name.firefox.json"

if ($Uninstall) {
  foreach ($key in $chromiumKeys + $firefoxKeys) {
    $path = "$root\$key\NativeMessagingHosts\$Name"
    if (Test-Path $path) { Remove-Item -Path $path -Force; Write-Output "removed $path" }
  }
  foreach ($file in @($chromiumManifest, $firefoxManifest)) {
    if (Test-Path $file) { Remove-Item -Path $file -Force; Write-Output "removed $file" }
  }
  exit 0
}

if (-not (Test-Path -PathType Leaf $HostPath)) { throw "No host binary at '$HostPath'; give -HostPath" }
$HostPath = (Resolve-Path $HostPath).Path

# IDs bare or as Chrome shows the origin; the manifest needs the origin with its trailing slash.
$origins = @()
foreach ($id in $ChromeId) {
  $bare = ($id -replace '^chrome-extension://', '') -replace '/$', ''
  if ($bare -cnotmatch '^[a-p]{32}$') { throw "Chrome extension ID '$bare' is not 32 letters a-p" }
  $origins += "chrome-extension://$bare/"
}
foreach ($id in $FirefoxId) {
  if ($id -notmatch '^([A-Za-z0-9._+-]*@[A-Za-z0-9._-]+|\{[0-9A-Fa-f-]+\})$') {
    throw "Firefox add-on ID '$id' is neither name@domain nor {GUID}"
  }
}

function Write-Manifest([string]$file, [string]$allowedKey, [string[]]$allowed) {
  $manifest = [ordered]@{
    name = $Name
    description = 'Tessera smart-card host: PC/SC for browser extensions'
    path = $HostPath
    type = 'stdio'
  }
  $manifest[$allowedKey] = @($allowed)
  # UTF-8 without a byte-order mark: some browser versions refuse a manifest that starts with one.
  $json = ConvertTo-Json -InputObject $manifest -Depth 3
  [System.IO.File]::WriteAllText($file, $json, (New-Object System.Text.UTF8Encoding($false)))
  Write-Output "wrote $file"
}

function Register([string[]]$keys, [string]$file) {
  foreach ($key in $keys) {
    $path = "$root\$key\NativeMessagingHosts\$Name"
    New-Item -Path $path -Force | Out-Null
    Set-Item -Path $path -Value $file
    Write-Output "registered $path"
  }
}

if ($origins.Count -gt 0) {
  Write-Manifest $chromiumManifest 'allowed_origins' $origins
  Register $chromiumKeys $chromiumManifest
}
if ($FirefoxId.Count -gt 0) {
  Write-Manifest $firefoxManifest 'allowed_extensions' $FirefoxId
  Register $firefoxKeys $firefoxManifest
}
