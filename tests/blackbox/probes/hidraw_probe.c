#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <unistd.h>
#include <poll.h>
#include <errno.h>
#include <sys/ioctl.h>
#include <linux/hidraw.h>
#include <time.h>
static double now(void){struct timespec t;clock_gettime(CLOCK_MONOTONIC,&t);return t.tv_sec+t.tv_nsec/1e9;}
int main(int argc,char**argv){
  const char*dev=argc>1?argv[1]:"/dev/hidraw0";
  int fd=open(dev,O_RDWR);
  printf("open %d errno %d\n",fd,errno); fflush(stdout);
  unsigned char buf[1100];
  memset(buf,0,sizeof buf); buf[0]=2;
  double t0=now();
  int r=ioctl(fd,HIDIOCGFEATURE(7),buf);
  printf("GFEATURE(7) r=%d errno=%d bytes=%02x %02x %02x %02x %02x %02x %02x t=%.6f\n",r,errno,buf[0],buf[1],buf[2],buf[3],buf[4],buf[5],buf[6],now()-t0);
  memset(buf,0,sizeof buf); buf[0]=1; buf[1]=1; buf[6]=0xAB; buf[1022]=0xCD;
  r=ioctl(fd,HIDIOCSFEATURE(1023),buf);
  printf("SFEATURE(1023) r=%d errno=%d\n",r,errno);
  memset(buf,0,sizeof buf); buf[0]=1;
  r=ioctl(fd,HIDIOCGFEATURE(1023),buf);
  printf("GFEATURE(1023) r=%d errno=%d b1=%02x b6=%02x\n",r,errno,buf[1],buf[6]);
  unsigned char out[64]={1,'h','i',0};
  r=write(fd,out,64);
  printf("write r=%d errno=%d\n",r,errno);fflush(stdout);
  struct pollfd p={fd,POLLIN,0};
  t0=now();
  r=poll(&p,1,3000);
  printf("poll r=%d revents=%x t=%.3f\n",r,p.revents,now()-t0);fflush(stdout);
  memset(buf,0,sizeof buf);
  r=read(fd,buf,64);
  printf("read r=%d errno=%d %02x %c%c\n",r,errno,buf[0],buf[1],buf[2]);fflush(stdout);
  if(argc>2){
    printf("waiting for removal\n");fflush(stdout);
    p.events=POLLIN; p.revents=0;
    t0=now();
    r=poll(&p,1,5000);
    printf("poll2 r=%d revents=%x t=%.3f\n",r,p.revents,now()-t0);fflush(stdout);
    r=(p.revents)?read(fd,buf,64):-2;
    printf("read2 r=%d errno=%d\n",r,errno);fflush(stdout);
    r=ioctl(fd,HIDIOCGFEATURE(7),buf);
    printf("GFEATURE after removal r=%d errno=%d\n",r,errno);fflush(stdout);
    int fd2=open(dev,O_RDWR);
    printf("reopen %d errno %d\n",fd2,errno);
  }
  return 0;
}
